#include "ThreadController.h"

#include <map>

#include "InstallerEngine.h"
#include "PayloadsManager.h"
#include "ThreadManagerMac.h"
#include "UIDriverFullGUI.h"

NativeThreadController* NativeThreadController::sInstance = nullptr;

NativeThreadController* NativeThreadController::GetInstance() {
    if (sInstance == nullptr) sInstance = new NativeThreadController();
    return sInstance;
}

void NativeThreadController::ReleaseInstance() {
    delete sInstance;
    sInstance = nullptr;
}

bool ThreadController::performAction() {
    _tw = ThreadManagerMac::workOn([this](ThreadManagerMac& worker) { return performUpdate(worker); },
                                   [this](const std::string& result) { longTaskFinished(result); });
    return true;
}

bool ThreadController::performInit() {
    _tw = ThreadManagerMac::workOn([this](ThreadManagerMac& worker) { return performInitialization(worker); },
                                   [this](const std::string& result) { longTaskFinished(result); });
    return true;
}

std::string ThreadController::performInitialization(ThreadManagerMac&) {
    InstallerEngine* engine = UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine;
    PayloadsManager* manager = engine != nullptr ? engine->GetPayloadsManager() : nullptr;
    if (manager != nullptr) manager->InstallPayload(engine, true, true);
    return "2";
}

std::string ThreadController::performUpdate(ThreadManagerMac&) {
    InstallerEngine* engine = UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine;
    PayloadsManager* manager = engine != nullptr ? engine->GetPayloadsManager() : nullptr;
    if (manager != nullptr) {
        std::map<std::string, int> results;
        manager->ProcessPayloads(engine, results);
    }
    return "2";
}

void ThreadController::longTaskFinished(const std::string&) {
    if (_tw) _tw->markAsCancelled();
    _tw.reset();
}
