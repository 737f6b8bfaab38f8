// The command line that installs one patch through a base product's cached main setup.
#ifndef MAIN_SETUP_COMMAND_H
#define MAIN_SETUP_COMMAND_H

#include <string>
#include <vector>

#include "FileSystemPath.h"

namespace MainSetupCommand {
// The program first, then its arguments; the setup runs with setupFolder as its working folder.
std::vector<std::string> Arguments(const std::string& code, const std::string& sessionID, const FileSystemPath& setupFolder,
                                   const FileSystemPath& extensionsFolder);
}

#endif
