// Starts the wizard's two passes on worker threads and receives their end.
#ifndef THREAD_CONTROLLER_H
#define THREAD_CONTROLLER_H

#include <memory>
#include <string>

class ThreadManagerMac;

class ThreadController {
public:
    bool performAction();  // installation pass
    bool performInit();    // preparation pass
    std::string performInitialization(ThreadManagerMac& worker);
    std::string performUpdate(ThreadManagerMac& worker);
    void longTaskFinished(const std::string& result);  // main thread
    std::shared_ptr<ThreadManagerMac> currentWorker() const { return _tw; }

private:
    std::shared_ptr<ThreadManagerMac> _tw;  // the pass in progress
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
