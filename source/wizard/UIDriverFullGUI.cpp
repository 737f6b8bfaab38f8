#include "UIDriverFullGUI.h"

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>

#include "AppExitCodes.h"
#include "AuthExec.h"
#include "BundleVerifier.h"
#include "DHTMLAlertController.h"
#include "Elevation.h"
#include "MachineEntry.h"
#include "ExecUtils.h"
#include "ErrorCodes.h"
#include "GenericUtils.h"
#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"
#include "MainBundle.h"
#include "MoxaReadOnly.h"
#include "PayloadsManager.h"
#include "StartupRefusal.h"
#include "TSMDHTMLAlertController.h"
#include "UPDWizardController.h"

InstallerEngine* UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine = nullptr;
AuthExec* UIDriverFullGUI::UIDriverFullGUIData::sAuthExec = nullptr;

UIDriverFullGUI::UIDriverFullGUIData::~UIDriverFullGUIData() {
    delete sAuthExec;
    sAuthExec = nullptr;
}

namespace {

void ReportNoDisplay() {
    const char* const line = "Update: no display to show the wizard on (DISPLAY is not set or cannot be opened); "
                             "start it in a desktop session, or run it as root with --mode=silent.";
    fprintf(stderr, "%s\n", line);
    MOQ_LOG("%s\n", line);
}

std::string Replaced(std::string text, const std::string& placeholder, const std::string& value) {
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
    return text;
}

// Says, in the user's language, that rights are needed and how to start with them; true
// when the user asks to try again. The command is safe to copy: sudo without -E keeps none
// of the user's variables that could steer root.
bool ShowRightsDialog(InstallerEngine& engine) {
    std::map<std::string, std::string> strings;
    const std::string language = GenericUtils::PrepareNativeTexts(engine, strings);
    auto text = [&strings](const char* key, const char* fallback) {
        auto found = strings.find(key);
        return found != strings.end() && !found->second.empty() ? found->second : std::string(fallback);
    };
    const std::string command = "sudo \"" + MainBundle::ExecutablePath() + "\"";
    // In a right-to-left sentence the command keeps its own direction (left-to-right isolate).
    const std::string shown = GenericUtils::IsRightToLeft(language) ? "\u2066" + command + "\u2069" : command;
    const std::string body = Replaced(text("locRightsBody", "Installing updates needs administrator rights, and they could "
                                                            "not be obtained. Open a terminal and run: [command]"),
                                      "[command]", shown);
    MOQ_LOG("Administrator rights could not be obtained; start with: %s\n", command.c_str());
    fprintf(stderr, "Update: administrator rights could not be obtained; start it with: %s\n", command.c_str());
    const std::string icon = MainBundle::ResourcesPath() + "/Update.svg";
    if (access(icon.c_str(), R_OK) == 0) gtk_window_set_default_icon_from_file(icon.c_str(), nullptr);
    // The default answer is to ask again; closing the window quits.
    return !GenericUtils::DisplayAlert(body, text("locRetry", "Try Again"), text("locQuit", "Quit"),
                                       text("locRightsTitle", "Administrator rights are needed"));
}

enum class Elevated { kGoOn, kNoDisplay, kEnded };

// Relaunches this program with administrator rights unless it has them. kEnded: the
// relaunched copy ran (or rights were not given) and code is what this process ends with:
// the copy's own code, 2 when the password dialog was dismissed, 4 when rights were refused.
Elevated RespawnAndAuthorizeIfNeeded(InstallerEngine& engine, int& code) {
    const std::vector<std::string> args = engine.mArguments;
    // A copy that was relaunched never relaunches again, even where the helper gave no rights.
    if (geteuid() == 0 || std::find(args.begin(), args.end(), "-norespawn") != args.end()) return Elevated::kGoOn;
    // Asking for a password makes no sense when no window can follow.
    if (!gtk_init_check(nullptr, nullptr)) return Elevated::kNoDisplay;
    if (engine.mArgumentMap.count("report")) {
        const char* const line = "Update: --report is not passed to the copy that runs as administrator; the report "
                                 "written here covers what this process saw (run --mode=check as yourself, or "
                                 "--mode=silent as root, for a full report)";
        fprintf(stderr, "%s\n", line);
        MOQ_LOG("%s\n", line);
    }
    for (;;) {
        AuthExec exec;
        if (exec.preAuthorize() != AuthExec::kGranted) {
            if (ShowRightsDialog(engine)) continue;
            code = static_cast<int>(AppExitCodes::kExitNoAdministratorRights);
            return Elevated::kEnded;
        }
        // The machine's own entry when it is installed: the approval then names a program of the
        // machine (and its polkit action), and root runs a verified snapshot of this bundle, not
        // the program in a folder the user can change.
        std::vector<std::string> relaunch = Elevation::RelaunchArguments(args);
        std::string why;
        const std::optional<std::string> entry = MachineEntry::InstalledProgram(why);
        if (entry) {
            relaunch.push_back(engine.mBundleFolder.AsNative());
            exec.setCommand(*entry);
        } else {
            MOQ_LOG("Relaunching the bundle's own program: %s\n", why.c_str());
            exec.setCommand(MainBundle::ExecutablePath());
        }
        exec.setArguments(relaunch);
        MOQ_LOG("Starting authenticated installer...");
        MOQ_LOG("See the system-wide log file under /Library/... for additional log messages.");
        const bool ran = exec.execute();
        if (ran && exec.wasCancelled()) {
            MOQ_LOG("The password dialog was dismissed\n");
            code = static_cast<int>(AppExitCodes::kExitUserCancelled);
            return Elevated::kEnded;
        }
        if (!ran || exec.wasRefused()) {
            if (ShowRightsDialog(engine)) continue;
            code = static_cast<int>(AppExitCodes::kExitNoAdministratorRights);
            return Elevated::kEnded;
        }
        code = ExecUtils::WaitStatusToResult(exec.waitStatus());
        MOQ_LOG("The administrator's copy ended with %d\n", code);
        // The machine's entry ended before any program of the bundle ran as root (a refused
        // bundle, no room to stage it): nothing on that side could show why, so this side does.
        // What the staged program refuses, it shows itself.
        const std::string ownLine = "kavex-update: ";
        const std::string refusal = ownLine + "the bundle is refused (";
        const std::string& said = exec.lastErrorLine();
        if (entry && code != 0 && said.compare(0, ownLine.size(), ownLine) == 0) {
            std::string detail = said.substr(ownLine.size()), reasonID;
            const size_t close = said.find("): ", refusal.size());
            if (said.compare(0, refusal.size(), refusal) == 0 && close != std::string::npos) {
                const char* id = BundleVerifier::RefusalStringId(said.substr(refusal.size(), close - refusal.size()));
                if (id != nullptr) reasonID = id;
                detail = said.substr(close + 3);
            }
            StartupRefusal::Show(engine, code, reasonID, detail);
        }
        return Elevated::kEnded;
    }
}

// The wizard ends with the codes of a silent run: what was installed, or what stood in the way.
int WizardExitCode(InstallerEngine& engine, bool installStarted) {
    PayloadsManager* manager = engine.GetPayloadsManager();
    if (installStarted) {
        std::map<std::string, std::string> failed;
        if (manager->GetFailedPayloads(failed)) return PayloadsManager::GetErrorCode();
        for (const PlanEntry& entry : manager->Plan()) {
            if (!entry.done) return AppExitCodes::kExitUserCancelled;
        }
        return PayloadsManager::CheckOptionalPayloadFailure() == 0 ? 0 : PayloadsManager::GetErrorCode();
    }
    std::map<std::string, std::string> updates;
    manager->GetUpdatesList(updates);
    if (updates.empty()) return PayloadsManager::GetErrorCode();
    if (!PayloadsManager::AcquireSetupLock()) return ErrorCodes::kAnotherInstanceRunning;
    std::string blocking, warning, space, volume;
    PayloadsManager::IsConflictingProcess(PayloadsManager::ConflictingProcesses(), blocking, warning);
    if (!blocking.empty()) return ErrorCodes::kConflictingProcessRunning;
    if (!manager->Prepared()) manager->InstallPayload(&engine, true, true);
    if (manager->GetDiskSpaceIfNeeded(space, volume)) return ErrorCodes::kNotEnoughDiskSpace;
    return AppExitCodes::kExitUserCancelled;
}

}  // namespace

UIDriverFullGUI::UIDriverFullGUI(InstallerEngine& engine) : UIDriver(engine), mData(new UIDriverFullGUIData()) {
    UIDriverFullGUIData::sAuthExec = nullptr;
    UIDriverFullGUIData::sInstallerEngine = &engine;
    DHTMLAlertController::SetMaker([] { return std::unique_ptr<DHTMLAlertController>(new TSMDHTMLAlertController()); });
}

UIDriverFullGUI::~UIDriverFullGUI() {}

bool UIDriverFullGUI::Run() {
    int relaunchCode = 0;
    switch (RespawnAndAuthorizeIfNeeded(mEngine, relaunchCode)) {
        case Elevated::kNoDisplay:
            ReportNoDisplay();
            mErrorCode = ErrorCodes::kUnknownError;
            return false;
        case Elevated::kEnded:
            // This process only read: nothing of it may write the stores it looks at for its message.
            moxaSetReadOnly(true);
            mErrorCode = relaunchCode;
            PayloadsManager::SetErrorCode(relaunchCode);
            return relaunchCode == 0;
        case Elevated::kGoOn:
            break;
    }
    const bool haveManager = mEngine.GetPayloadsManager() != nullptr;
    if (!gtk_init_check(nullptr, nullptr)) {
        ReportNoDisplay();
        mErrorCode = haveManager ? static_cast<int>(ErrorCodes::kUnknownError) : PayloadsManager::InitializationFailureCode();
        return false;
    }
    if (!haveManager) {
        // Nothing to show on the first page: the user is told why the wizard ends.
        mErrorCode = PayloadsManager::InitializationFailureCode();
        const char* reason = mErrorCode == ErrorCodes::kMOXADBError              ? "locStoreUnreadable"
                             : mErrorCode == ErrorCodes::kAnotherInstanceRunning ? "locLockHeldUnknown"
                                                                                 : "";
        StartupRefusal::Show(mEngine, mErrorCode, reason, std::string());
        return false;
    }
    bool installStarted = false, startupFailed = false;
    {
        UPDWizardController controller;
        controller.RunApplication();
        installStarted = controller.InstallStarted();
        startupFailed = controller.StartupFailed();
    }
    // A wizard whose pages are missing is a broken bundle, not a user's choice.
    mErrorCode = startupFailed ? static_cast<int>(ErrorCodes::kUnknownError) : WizardExitCode(mEngine, installStarted);
    // The localized message follows the manager's code.
    PayloadsManager::SetErrorCode(mErrorCode);
    MOQ_LOG("The wizard ends with %d\n", mErrorCode);
    return mErrorCode == 0;
}
