// Starts the wizard's two passes on worker threads and receives their end.
#ifndef THREAD_CONTROLLER_H
#define THREAD_CONTROLLER_H

#include <memory>
#include <string>

#include "ThreadManagerMac.h"

// Main thread only. One pass at a time: a pass asked for while another one's task still runs
// is refused (false); one whose task has returned and whose end message is still queued
// does not count. A controller that goes away before an end message arrives is not touched
// by it: the passes hold no pointer to the controller.
class ThreadController {
public:
    ThreadController() : mPasses(std::make_shared<Passes>()) {}
    bool performAction();  // installation pass
    bool performInit();    // preparation pass
    bool start(ThreadManagerMac::Task task);
    static std::string performInitialization(ThreadManagerMac& worker);
    static std::string performUpdate(ThreadManagerMac& worker);
    std::shared_ptr<ThreadManagerMac> currentWorker() const { return mPasses->current; }

private:
    struct Passes {
        std::shared_ptr<ThreadManagerMac> current;  // the pass in progress
        unsigned started = 0;
    };
    std::shared_ptr<Passes> mPasses;
};

class NativeThreadController {
public:
    static NativeThreadController* GetInstance();
    static void ReleaseInstance();
    ThreadController& Controller() { return *mController; }

private:
    NativeThreadController() : mController(new ThreadController()) {}
    std::unique_ptr<ThreadController> mController;
    static NativeThreadController* sInstance;
};

#endif
