// The applications running on this machine.
#ifndef PROCESS_UTILS_MAC_H
#define PROCESS_UTILS_MAC_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ProcessUtilsMac {
// Appends (executable name, display name) per running process; the vector is not cleared.
// The display name is the system's desktop entry's Name for the executable, else the executable.
bool GetRunningApplicationNamePairsOnMac(std::vector<std::pair<std::string, std::string> >& out);
// Appends (process id, executable name) per running process, named as above.
bool GetRunningProcesses(std::vector<std::pair<int, std::string> >& out);
// The kernel's short name of a process (/proc/<pid>/comm); none when the process is gone.
std::optional<std::string> CommandName(int pid);
}

#endif
