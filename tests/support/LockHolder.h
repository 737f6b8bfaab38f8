// A named lock held by another process, as another installer of the family would hold it.
// The holder dies with this object, and with the test program if that dies first.
#ifndef LOCK_HOLDER_H
#define LOCK_HOLDER_H

#include <string>

class LockHolder {
public:
    explicit LockHolder(const std::string& name);
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // False when the child could not take the lock (someone else holds it).
    bool Held() const { return mHeld; }
    int Pid() const { return mPid; }
    // Kills the holder and waits for it: the lock is free again afterwards.
    void Release();

private:
    int mPid = -1;
    bool mHeld = false;
};

#endif
