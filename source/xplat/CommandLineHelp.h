// The program's own answers to --help and --version: the usage text is also the source of
// its manual page, so it is complete rather than a reminder.
#ifndef COMMAND_LINE_HELP_H
#define COMMAND_LINE_HELP_H

#include <ostream>
#include <string>
#include <vector>

class CommandLineHelp {
public:
    static const char* Usage();
    static const char* Version();
    // Prints the usage or the version when the arguments ask for one (the program's own path
    // first); true then, and the program ends with 0 without starting a session.
    static bool Answer(const std::vector<std::string>& args, std::ostream& out);
};

#endif
