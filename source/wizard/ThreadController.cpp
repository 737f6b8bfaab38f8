#include "ThreadController.h"

#include <map>

#include "InstallerEngine.h"
#include "MOQLogger.h"
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

bool ThreadController::performAction() { return start(performUpdate); }

bool ThreadController::performInit() { return start(performInitialization); }

bool ThreadController::start(ThreadManagerMac::Task task) {
    if (mPasses->current && !mPasses->current->taskEnded()) {
        MOQ_LOG("A background pass was asked for while another one runs: refused\n");
        return false;
    }
    const unsigned pass = ++mPasses->started;
    const std::weak_ptr<Passes> passes = mPasses;
    mPasses->current = ThreadManagerMac::workOn(task, [passes, pass](const std::string&) {
        const std::shared_ptr<Passes> alive = passes.lock();
        // The end of an earlier pass leaves a later one in place.
        if (!alive || alive->started != pass || !alive->current) return;
        alive->current->markAsCancelled();
        alive->current.reset();
    });
    return mPasses->current != nullptr;
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
