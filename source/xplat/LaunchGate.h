// Holds the installation pass before its next launch while the user is asked whether
// to stop; a setup that already runs is never interrupted.
#ifndef LAUNCH_GATE_H
#define LAUNCH_GATE_H

#include <condition_variable>
#include <mutex>

class LaunchGate {
public:
    void Hold() {
        std::lock_guard<std::mutex> guard(mMutex);
        mHeld = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mHeld = false;
        }
        mChanged.notify_all();
    }
    bool Held() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mHeld;
    }
    // The pass calls this before each launch and before it ends.
    void WaitWhileHeld() {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mWaiting;
        mChanged.wait(lock, [this] { return !mHeld; });
        --mWaiting;
    }
    // Whether a pass is held here now: what a stop started nothing meanwhile rests on.
    bool PassWaiting() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mWaiting > 0;
    }

private:
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    bool mHeld = false;
    int mWaiting = 0;
};

#endif
