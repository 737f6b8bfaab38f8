#include "UIDriverFullGUI.h"

#include <gtk/gtk.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "AuthExec.h"
#include "DHTMLAlertController.h"
#include "ErrorCodes.h"
#include "InstallerEngine.h"
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

// Relaunches this program with administrator rights unless it has them, then ends.
void RespawnAndAuthorizeIfNeeded(InstallerEngine& engine) {
    const std::vector<std::string> args = engine.mArguments;
    if (geteuid() == 0 || std::find(args.begin(), args.end(), "-norespawn") != args.end()) return;
    AuthExec exec;
    const int authorized = exec.preAuthorize();
    if (authorized != AuthExec::kGranted) exit(authorized == AuthExec::kFailure ? 4 : 0);
    exec.setArguments(std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()));
    MOQ_LOG("Starting authenticated installer...");
    MOQ_LOG("See the system-wide log file under /Library/... for additional log messages.");
    exec.setCommand(MainBundle::ExecutablePath());
    const bool ran = exec.execute();
    // pkexec asks during the run: a refusal that is not a dismissal is a failure.
    const int status = exec.waitStatus();
    if (!ran || (!exec.wasCancelled() && WIFEXITED(status) && WEXITSTATUS(status) == 127)) exit(4);
    exit(0);
}

}  // namespace

UIDriverFullGUI::UIDriverFullGUI(InstallerEngine& engine) : UIDriver(engine), mData(new UIDriverFullGUIData()) {
    UIDriverFullGUIData::sAuthExec = nullptr;
    UIDriverFullGUIData::sInstallerEngine = &engine;
    DHTMLAlertController::SetMaker([] { return std::unique_ptr<DHTMLAlertController>(new TSMDHTMLAlertController()); });
}

UIDriverFullGUI::~UIDriverFullGUI() {}

bool UIDriverFullGUI::Run() {
    RespawnAndAuthorizeIfNeeded(mEngine);
    if (mEngine.GetPayloadsManager() == nullptr) {
        mErrorCode = PayloadsManager::InitializationFailureCode();
        return false;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        MOQ_LOG("No display to show the wizard on\n");
        mErrorCode = ErrorCodes::kUnknownError;
        return false;
    }
    {
        UPDWizardController controller;
        controller.RunApplication();
    }
    mErrorCode = PayloadsManager::GetErrorCode();
    return true;
}
