#include "ThreadManagerMac.h"

#include <glib.h>

#include <thread>

std::shared_ptr<ThreadManagerMac> ThreadManagerMac::workOn(Task task, DidEnd didEnd) {
    if (!task) return nullptr;
    std::shared_ptr<ThreadManagerMac> manager(new ThreadManagerMac(task, didEnd));
    // The worker keeps the manager alive until it is done with it.
    std::thread([manager] { manager->runPrimaryTask(); }).detach();
    return manager;
}

void ThreadManagerMac::runPrimaryTask() {
    const std::string result = mTask(*this);
    mTaskEnded = true;
    if (!mDidEnd) return;
    struct EndMessage {
        std::shared_ptr<ThreadManagerMac> manager;
        std::string result;
    };
    EndMessage* message = new EndMessage{shared_from_this(), result};
    // Queued to the default context, whose loop runs on the main thread.
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            EndMessage& end = *static_cast<EndMessage*>(data);
            CHECK_OWNER_THREAD(end.manager->mStarter);
            end.manager->mDidEnd(end.result);
            {
                MutexLock guard(end.manager->mMutex);
                end.manager->mEndRan = true;
            }
            end.manager->mEndHandled.notify_all();
            return G_SOURCE_REMOVE;
        },
        message, [](gpointer data) { delete static_cast<EndMessage*>(data); });
    MutexLock lock(mMutex);
    while (!mEndRan) mEndHandled.wait(lock);
}

void ThreadManagerMac::markAsCancelled() {
    MutexLock guard(mMutex);
    if (mCondition == 0) mCondition = 1;
}

bool ThreadManagerMac::cancelled() const {
    MutexLock guard(mMutex);
    return mCondition == 1;
}
