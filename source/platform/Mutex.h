// A mutex the thread-safety analysis knows, and its scoped hold.
#ifndef MUTEX_H
#define MUTEX_H

#include <mutex>

#include "ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mMutex.lock(); }
    void unlock() RELEASE() { mMutex.unlock(); }

private:
    std::mutex mMutex;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mMutex(mutex) { mMutex.lock(); }
    ~MutexLock() RELEASE() { mMutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    // For std::condition_variable_any, which lets go of the lock while it waits.
    void lock() ACQUIRE() { mMutex.lock(); }
    void unlock() RELEASE() { mMutex.unlock(); }
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mMutex;
};

#endif
