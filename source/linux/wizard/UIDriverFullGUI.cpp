#include "UIDriverFullGUI.h"

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "AppExitCodes.h"
#include "AuthExec.h"
#include "DHTMLAlertController.h"
#include "ErrorCodes.h"
#include "GenericUtils.h"
#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"
#include "MainBundle.h"
#include "PayloadsManager.h"
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

// Says, in the user's language, that rights are needed and how to start with them.
void ShowRightsDialog(InstallerEngine& engine) {
    std::map<std::string, std::string> strings;
    LocalizationUtilities::GetDictionaryForLanguage(&engine, strings);
    std::string locale;
    LocalizationUtilities::GetUserInterfaceLanguage(locale);
    const std::string language = LocalizationUtilities::GetUILanguageForLanguage(locale);
    GenericUtils::SetDirectionForLanguage(language);
    auto text = [&strings](const char* key, const char* fallback) {
        auto found = strings.find(key);
        return found != strings.end() && !found->second.empty() ? found->second : std::string(fallback);
    };
    const std::string command = "sudo -E \"" + MainBundle::ExecutablePath() + "\"";
    // In a right-to-left sentence the command keeps its own direction (left-to-right isolate).
    const std::string shown = GenericUtils::IsRightToLeft(language) ? "\u2066" + command + "\u2069" : command;
    const std::string body = Replaced(text("locRightsBody", "Installing updates needs administrator rights, and they could "
                                                            "not be obtained. Open a terminal and run: [command]"),
                                      "[command]", shown);
    MOQ_LOG("Administrator rights could not be obtained; start with: %s\n", command.c_str());
    fprintf(stderr, "Update: administrator rights could not be obtained; start it with: %s\n", command.c_str());
    GenericUtils::DisplayNotice(text("locRightsTitle", "Administrator rights are needed"), body, text("locQuit", "Quit"));
}

// Relaunches this program with administrator rights unless it has them, then ends.
// False when the wizard cannot be shown here at all.
bool RespawnAndAuthorizeIfNeeded(InstallerEngine& engine) {
    const std::vector<std::string> args = engine.mArguments;
    if (geteuid() == 0 || std::find(args.begin(), args.end(), "-norespawn") != args.end()) return true;
    // Asking for a password makes no sense when no window can follow.
    if (!gtk_init_check(nullptr, nullptr)) return false;
    AuthExec exec;
    if (exec.preAuthorize() != AuthExec::kGranted) {
        ShowRightsDialog(engine);
        exit(static_cast<int>(AppExitCodes::kExitNoAdministratorRights));
    }
    exec.setArguments(std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()));
    MOQ_LOG("Starting authenticated installer...");
    MOQ_LOG("See the system-wide log file under /Library/... for additional log messages.");
    exec.setCommand(MainBundle::ExecutablePath());
    const bool ran = exec.execute();
    // pkexec asks during the run: a refusal that is not a dismissal is a failure.
    const int status = exec.waitStatus();
    if (!ran || (!exec.wasCancelled() && WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
        ShowRightsDialog(engine);
        exit(static_cast<int>(AppExitCodes::kExitNoAdministratorRights));
    }
    exit(0);
}

// The wizard ends with the codes of a silent run: what was installed, or what stood in the way.
int WizardExitCode(InstallerEngine& engine, bool installStarted) {
    PayloadsManager* manager = engine.GetPayloadsManager();
    if (installStarted) {
        std::map<std::string, std::string> failed;
        if (manager->GetFailedPayloads(failed)) return PayloadsManager::GetErrorCode();
        for (int32_t done : manager->PlanDone()) {
            if (!done) return AppExitCodes::kExitUserCancelled;
        }
        return PayloadsManager::CheckOptionalPayloadFailure() == 0 ? 0 : PayloadsManager::GetErrorCode();
    }
    std::map<std::string, std::string> updates;
    manager->GetUpdatesList(updates);
    if (updates.empty()) return PayloadsManager::GetErrorCode();
    if (!PayloadsManager::AcquireSetupLock()) return ErrorCodes::kAnotherInstanceRunning;
    std::string blocking, warning, space, volume;
    PayloadsManager::IsConflictingProcess(PayloadsManager::sVecConProc, blocking, warning);
    if (!blocking.empty()) return ErrorCodes::kConflictingProcessRunning;
    if (!manager->mPrepared) manager->InstallPayload(&engine, true, true);
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
    if (!RespawnAndAuthorizeIfNeeded(mEngine)) {
        ReportNoDisplay();
        mErrorCode = ErrorCodes::kUnknownError;
        return false;
    }
    if (mEngine.GetPayloadsManager() == nullptr) {
        mErrorCode = PayloadsManager::InitializationFailureCode();
        return false;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        ReportNoDisplay();
        mErrorCode = ErrorCodes::kUnknownError;
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
    PayloadsManager::mErrorCode = mErrorCode;
    MOQ_LOG("The wizard ends with %d\n", mErrorCode);
    return mErrorCode == 0;
}
