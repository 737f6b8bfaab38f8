#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AppExitCodes.h"
#include "BuiltInDrivers.h"
#include "Elevation.h"
#include "ErrorCodes.h"
#include "FileSystemPath.h"
#include "InstallerEngine.h"
#include "MOQLogger.h"
#include "MachineEntry.h"
#include "MainBundle.h"
#include "NamedLock.h"
#include "SessionReport.h"
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
        case ErrorCodes::kBundleSignatureInvalid:
            MOQ_LOG("%sErrorCodes::kBundleSignatureInvalid\n", prefix);
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

// Root never works on a bundle where an ordinary user may change it: where the machine
// installed its own entry, a run that did not start from a staged snapshot becomes that
// entry's run (same arguments, same exit code), which stages, verifies and starts the
// snapshot's program. Returns only when it could not hand over.
void HandOverToMachineEntry(const std::string& entry, const std::vector<std::string>& args,
                            const std::string& bundleFolder) {
    std::vector<std::string> handed{entry};
    for (size_t i = 1; i < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] == '-') handed.push_back(args[i]);
    }
    handed.push_back(bundleFolder);
    std::vector<char*> argv;
    for (std::string& argument : handed) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    MOQ_LOG("Handing the run over to %s, which stages the bundle where only root can write\n", entry.c_str());
    MOQ_Logger_End();
    execv(entry.c_str(), argv.data());
    const int error = errno;
    MOQ_Logger_Start(true);
    MOQ_LOG("Cannot start %s: %s\n", entry.c_str(), strerror(error));
}

const char* const kRule =
    "*************************************************************************************************************";
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    MOQ_Logger_Start(true);
    NamedLock::SetLog([](const char* line) { MOQ_LOG("%s", line); });
    BuiltInDrivers::Register();
    WizardModule::Register();
    SessionReport report;
    MOQ_LOG("%s\n", kRule);
    MOQ_LOG("Starting the Patch Session\n");
    MOQ_LOG("Build#%d.%d.%d.%d\n", 2, 1, 51, 0);
    MOQ_LOG("%s\n", kRule);

    unsigned code = 0;
    bool runningUnderUpdateManager = false;
    std::unique_ptr<InstallerEngine> engine;
    UniqueFd stagingHold;  // a staged run keeps its snapshot from being taken for abandoned
    // Whatever escapes the session still ends with a code and, for the update
    // manager, a report.
    try {
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
            // Before anything reads a path, a variable or an argument: root on a user's behalf
            // takes only what cannot steer it.
            args = Elevation::TrustedStart(args);
            if (geteuid() == 0) {
                std::string why;
                if (MachineEntry::IsRootOnlySnapshot(bundleFolder)) {
                    stagingHold = MachineEntry::HoldStaging(bundleFolder);
                } else if (const std::optional<std::string> entry = MachineEntry::InstalledProgram(why)) {
                    HandOverToMachineEntry(*entry, args, bundleFolder);
                    std::cerr << "Update: the machine's entry " << *entry << " cannot be started; see the log" << std::endl;
                    throw std::runtime_error("the machine's entry cannot be started");
                }
            }
            runningUnderUpdateManager = ZEPInstallerResultsWrapper::runningUnderZEP();
            engine.reset(new InstallerEngine(bundleFolder));
            if (runningUnderUpdateManager) {
                MOQ_LOG("Patcher running in ZEP mode\n");
            } else {
                MOQ_LOG("Patcher running in StandAlone mode\n");
            }
            code = engine->Main(args);
        } else {
            // Nothing can be found beside a program whose own path is unknown
            // (beyond the system's limit): that is no success.
            MOQ_LOG("The application's own path cannot be read\n");
            code = AppExitCodes::kExitUnhandledException;
        }
    } catch (const std::exception& error) {
        MOQ_LOG("Caught an exception in main: %s\n", error.what());
        code = AppExitCodes::kExitUnhandledException;
    } catch (...) {
        MOQ_LOG("Caught an exception in main\n");
        code = AppExitCodes::kExitUnhandledException;
    }
    std::string errorText;
    try {
        // The text follows the manager's own error code, not the exit code.
        if (code != 0 && engine) errorText = engine->LocalizedErrorText();
    } catch (...) {
        MOQ_LOG("Caught an exception while looking up the error text\n");
        errorText.clear();
    }
    // A check installs nothing: the update manager must not read its end as an installation's.
    const bool checkOnly = engine && engine->mUIMode == InstallerEngine::kModeCheck;
    if (checkOnly && runningUnderUpdateManager) MOQ_LOG("A check reports nothing to the update manager\n");
    if (runningUnderUpdateManager && !checkOnly) {
        try {
            ReportToUpdateManager(code, errorText, engine && engine->mCaller == InstallerEngine::kCallerUpdateManager);
        } catch (...) {
            MOQ_LOG("Caught an exception while reporting to the update manager\n");
        }
    }
    if (engine) {
        try {
            report.Finish(*engine, code, errorText);
        } catch (...) {
            MOQ_LOG("Caught an exception while writing the run's report\n");
        }
    }
    engine.reset();
    MOQ_LOG("Ending the Patch Session\n");
    MOQ_Logger_End();
    return static_cast<int>(code);
}
