// One worker thread running one task; its end message runs on the main thread,
// and the worker goes on only after that message has run.
#ifndef THREAD_MANAGER_MAC_H
#define THREAD_MANAGER_MAC_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>

#include "Mutex.h"
#include "ThreadChecker.h"

class ThreadManagerMac : public std::enable_shared_from_this<ThreadManagerMac> {
public:
    typedef std::function<std::string(ThreadManagerMac& worker)> Task;
    typedef std::function<void(const std::string& result)> DidEnd;

    // Starts the task on a new thread; null when there is no task.
    static std::shared_ptr<ThreadManagerMac> workOn(Task task, DidEnd didEnd);

    void markAsCancelled();  // running (0) -> cancelled (1), once
    bool cancelled() const;
    // The task has returned; only its end message may be still to come.
    bool taskEnded() const { return mTaskEnded; }

private:
    ThreadManagerMac(Task task, DidEnd didEnd) : mTask(task), mDidEnd(didEnd) {}
    void runPrimaryTask();

    Task mTask;
    DidEnd mDidEnd;
    ThreadChecker mStarter;  // the main thread, whose loop runs the end message
    mutable Mutex mMutex;
    std::condition_variable_any mEndHandled;
    int mCondition GUARDED_BY(mMutex) = 0;
    bool mEndRan GUARDED_BY(mMutex) = false;
    std::atomic<bool> mTaskEnded{false};
};

#endif
