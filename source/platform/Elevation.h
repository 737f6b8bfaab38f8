// The trust boundary between an ordinary user and root. Root started on a user's behalf
// (pkexec, sudo) takes nothing from that user that could steer what it reads, writes or
// runs: no machine-root override, no results path, no language value that is not a plain
// code, no authority file that is not the user's own; through pkexec, no argument but the
// mode and the few the relaunch itself passes, each validated.
#ifndef ELEVATION_H
#define ELEVATION_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace Elevation {

enum class Via { kNone, kPkexec, kSudo };

struct Origin {
    Via via = Via::kNone;  // kNone: not root, or root on its own account
    uid_t uid = 0;         // the user root acts for, when via is not kNone
    gid_t gid = 0;
};

// Who root acts for, from PKEXEC_UID, then SUDO_UID (as root only).
Origin CurrentOrigin();

// Applied first thing in main: the environment and the arguments made fit for this
// process's rights. Every value dropped is logged with its reason. Returns the arguments to use.
std::vector<std::string> TrustedStart(const std::vector<std::string>& args);

// Whether root may honour a folder that redirects it: itself and every folder above it
// owned by root and writable by no one else (a sticky folder, such as /tmp, is fine), no link
// on the way. why says what failed.
bool IsRootOnlyFolder(const std::string& path, std::string& why);

// The arguments that cross into the root copy: the mode, -norespawn, and what the copy needs
// to show its window on the user's display, in the user's language.
std::vector<std::string> RelaunchArguments(const std::vector<std::string>& userArgs);

// The language preference reduced to plain codes ("de_DE:de"); empty when nothing usable is set.
std::string SafeLanguageList(const std::string& value);

// Variables that would redirect root; never honoured from a user's side.
extern const char* const kRedirectingVariables[];

}  // namespace Elevation

#endif
