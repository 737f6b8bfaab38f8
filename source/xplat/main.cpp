#include <signal.h>

#include <string>
#include <vector>

#include "FileSystemPath.h"
#include "InstallerEngine.h"
#include "MOQLogger.h"
#include "MainBundle.h"

namespace {
const char* const kRule =
    "*************************************************************************************************************";
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    MOQ_Logger_Start(true);
    MOQ_LOG("%s\n", kRule);
    MOQ_LOG("Starting the Patch Session\n");
    MOQ_LOG("Build#%d.%d.%d.%d\n", 2, 1, 51, 0);
    MOQ_LOG("%s\n", kRule);

    unsigned code = 0;
    std::string bundleFolder;
    const std::string bundle = MainBundle::BundlePath();
    if (!bundle.empty()) {
        const size_t slash = bundle.find_last_of('/');
        bundleFolder = slash == 0 ? "/" : bundle.substr(0, slash);
    }
    if (!bundleFolder.empty()) {
        std::vector<std::string> args;
        for (int i = 0; i < argc; ++i) {
            if (argv[i] != nullptr) args.push_back(argv[i]);
        }
        const bool runningUnderUpdateManager = false;
        InstallerEngine engine(bundleFolder);
        if (runningUnderUpdateManager) {
            MOQ_LOG("Patcher running in ZEP mode\n");
        } else {
            MOQ_LOG("Patcher running in StandAlone mode\n");
        }
        code = engine.Main(args);
    }
    MOQ_LOG("Ending the Patch Session\n");
    MOQ_Logger_End();
    return static_cast<int>(code);
}
