#include "CommandLineHelp.h"

const char* CommandLineHelp::Usage() {
    return R"USAGE(Usage: Update [--mode=MODE] [--callerID=ZEP6] [--report=FILE] [--setupTimeout=SECONDS] [-norespawn]
  or:  Update --help | --version
Install the patches of the bundle that holds this program (Update.app): the wizard
by default, or a silent run, or a check that tells what a silent run would do.

Options:
  --mode=MODE            gui or GUI: the wizard (the default; needs a display; an
                         ordinary user is asked for administrator rights through
                         pkexec); silent or Silent: install without a window (as
                         root); check or Check: tell what a silent run would do and
                         change nothing (any user); terminal or Terminal: no such
                         interface (ends with 5). Case-sensitive.
  --callerID=ZEP6        (silent mode) the update manager started the run: it gets
                         a Retry/Quit offer for 25, 30 and 34, and a results report
  --report=FILE          write a JSON account of the run to FILE when it ends
  --setupTimeout=SECONDS end a main setup that runs longer (1 to 604800): it is
                         recorded as timed out and counts as rolled back (28)
  -norespawn             the relaunched copy of the wizard never relaunches again
  --help                 print this text and end with 0
  --version              print the version and end with 0

Arguments have the form --key=value; others are ignored, and a repeated key keeps its
first value. A bad command line ends with 1 and one line on standard error naming what
is wrong. Standard output carries "Begin Kavex Update", "UI mode: MODE" and "End Kavex
Update.  Exit code: N"; a check writes its summary between the last two.

Environment:
  KAVEX_SYSTEM_ROOT      a sandbox machine root for the machine-wide folders; as root
                         honoured only on root's own account and for a folder only
                         root can change (otherwise ignored, with a line on standard
                         error)
  LANGUAGE, LC_ALL, LC_MESSAGES, LANG
                         the language of the wizard and of its messages

Files:
  /tmp/moq.log           the session log, shared by every session
  BUNDLE/extensions/, BUNDLE/setup.xml, BUNDLE/resources/
                         the patches, their grouping and the wizard's pages
  <machine root>/Library/Application Support/Kavex/
                         the installed-products stores and the trusted keys

Exit status:
  0    success (also when nothing needed doing)
  1    bad command line
  2    wizard: ended before every update was installed, or the password was refused
  4    wizard: administrator rights could not be obtained
  5    the mode has no user interface (terminal)
  8    installed; the machine must be restarted
  12   a main setup could not be launched
  14   a silent run without superuser rights
  25   not enough disk space
  26   a higher patch is already installed
  27   the base product is not installed
  28   an installation was rolled back (32 likewise)
  29   the patch is already installed
  30   a conflicting application is running
  31   the installed-products store could not be opened or read
  34   another installer of the family is running
  35   the bundle is refused: not signed by a key the machine trusts, or changed
  2147483647 unknown error (the process status keeps the low 8 bits: 255)
  9999 unexpected exception (seen as 15)
The full code is in the log and the report.
)USAGE";
}

const char* CommandLineHelp::Version() {
    return "Update (Kavex Update) 2.1.51.0\n";
}

bool CommandLineHelp::Answer(const std::vector<std::string>& args, std::ostream& out) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help") {
            out << Usage();
            return true;
        }
        if (args[i] == "--version") {
            out << Version();
            return true;
        }
    }
    return false;
}
