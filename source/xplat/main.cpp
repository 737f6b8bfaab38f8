#include <signal.h>

#include <string>
#include <vector>

#include "AppExitCodes.h"
#include "ErrorCodes.h"
#include "FileSystemPath.h"
#include "InstallerEngine.h"
#include "MOQLogger.h"
#include "MainBundle.h"
#include "NamedLock.h"
#include "SessionReport.h"
#include "UIDriverCheck.h"
#include "UIDriverFactory.h"
#include "UIDriverSilent.h"
#include "WizardModule.h"
#include "ZEPInstallerResultsWrapper.h"

namespace {

// What the update manager is told, by exit code.
void ReportToUpdateManager(unsigned code, const std::string& text, bool updateManagerCaller) {
    typedef ZEPInstallerResultsWrapper Results;
    const char* const prefix = "Patcher returned exitCode ";
    switch (code) {
        case AppExitCodes::exitSuccess:
        case ErrorCodes::kAlreadyInstalled:
            MOQ_LOG("%sAppExitCodes::exitSuccess or ErrorCodes::kAlreadyInstalled\n", prefix);
            Results::setInstallerResults(Results::kResultSucceeded);
            break;
        case AppExitCodes::exitWithRestartNeeded:
            MOQ_LOG("%sAppExitCodes::exitWithRestartNeeded\n", prefix);
            Results::setInstallerResults(Results::kResultRestartNeeded, text);
            break;
        case ErrorCodes::kNotEnoughDiskSpace:
        case ErrorCodes::kConflictingProcessRunning:
            MOQ_LOG("%s%s\n", prefix, code == ErrorCodes::kNotEnoughDiskSpace ? "ErrorCodes::kNotEnoughDiskSpace" : "ErrorCodes::kConflictingProcessRunning");
            if (updateManagerCaller) {
                Results::setInstallerResults(Results::kResultFailed);
            } else {
                Results::setInstallerResults(Results::kResultTryAgain, text);
            }
            break;
        case ErrorCodes::kHigherPatchInstalled:
            MOQ_LOG("%sErrorCodes::kHigherPatchInstalled\n", prefix);
            Results::setInstallerResults(Results::kResultSucceeded, text);
            break;
        case ErrorCodes::kBasePayloadNotInstalled:
            MOQ_LOG("%sErrorCodes::kBasePayloadNotInstalled\n", prefix);
            Results::setInstallerResults(Results::kResultFailed, text);
            break;
        case ErrorCodes::kRollBack:
            MOQ_LOG("%sErrorCodes::kRollBack\n", prefix);
            Results::setInstallerResults(Results::kResultFailed, text);
            break;
        case ErrorCodes::kAnotherInstanceRunning:
            MOQ_LOG("%sErrorCodes::kAnotherInstanceRunning\n", prefix);
            Results::setInstallerResults(Results::kResultTryAgain, text);
            break;
        default:
            MOQ_LOG("%sIncomplete/TryAgain, Unknown failure occured.\n", prefix);
            Results::setInstallerResults(Results::kResultTryAgain, text);
            break;
    }
}

const char* const kRule =
    "*************************************************************************************************************";
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    MOQ_Logger_Start(true);
    NamedLock::SetLog([](const char* line) { MOQ_LOG("%s", line); });
    UIDriverFactory::Register(InstallerEngine::kModeSilent, [](InstallerEngine& engine) {
        return std::unique_ptr<UIDriver>(new UIDriverSilent(engine));
    });
    UIDriverFactory::Register(InstallerEngine::kModeCheck, [](InstallerEngine& engine) {
        return std::unique_ptr<UIDriver>(new UIDriverCheck(engine));
    });
    WizardModule::Register();
    SessionReport report;
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
        const bool runningUnderUpdateManager = ZEPInstallerResultsWrapper::runningUnderZEP();
        InstallerEngine engine(bundleFolder);
        if (runningUnderUpdateManager) {
            MOQ_LOG("Patcher running in ZEP mode\n");
        } else {
            MOQ_LOG("Patcher running in StandAlone mode\n");
        }
        code = engine.Main(args);
        // The text follows the manager's own error code, not the exit code.
        const std::string errorText = code != 0 ? engine.LocalizedErrorText() : std::string();
        if (runningUnderUpdateManager) {
            ReportToUpdateManager(code, errorText, engine.mCaller == InstallerEngine::kCallerUpdateManager);
        }
        report.Finish(engine, code, errorText);
    }
    MOQ_LOG("Ending the Patch Session\n");
    MOQ_Logger_End();
    return static_cast<int>(code);
}
