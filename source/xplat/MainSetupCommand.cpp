#include "MainSetupCommand.h"

namespace {
FileSystemPath Join(FileSystemPath base, const std::string& segment) {
    base.AppendUTF8Segment(segment);
    return base;
}
}  // namespace

namespace MainSetupCommand {

std::vector<std::string> Arguments(const std::string& code, const std::string& sessionID, const FileSystemPath& setupFolder,
                                   const FileSystemPath& extensionsFolder) {
    std::vector<std::string> args;
    args.push_back(Join(Join(Join(Join(setupFolder, "Setup.app"), "Contents"), "MacOS"), "Setup").AsUTF8String());
    args.push_back("--extensionsOnly=1");
    args.push_back("--kavexCodeList=" + code);
    args.push_back("--mode=silent");
    args.push_back("--extensionMediaPath=" + extensionsFolder.AsNative());
    args.push_back("--appPath=" + Join(setupFolder, "Setup.app").AsNative());
    args.push_back("--parentSessionID=" + sessionID);
    args.push_back("--skipProcessCheck=1");
    return args;
}

}  // namespace MainSetupCommand
