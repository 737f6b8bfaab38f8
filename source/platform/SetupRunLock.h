// Marks a cached setup folder as in use by a running setup. The lock lives on
// an open file description that the setup inherits across exec, so it stays
// held while the setup runs even when the process that launched it is gone.
#ifndef SETUP_RUN_LOCK_H
#define SETUP_RUN_LOCK_H

#include <string>

#include "UniqueFd.h"

class SetupRunLock {
public:
    enum Result { kTaken, kBusy, kFailed };

    // One attempt, without waiting, on the lock file inside folder.
    Result Take(const std::string& folder);
    // Whether a setup holds the folder now; creates nothing, and an absent lock file is free.
    static bool IsHeld(const std::string& folder);
    // The descriptor a child keeps across exec; -1 when not held.
    int InheritableFd() const { return mFd.get(); }
    void Release() { mFd.reset(); }

    static const char* const kFileName;

private:
    UniqueFd mFd;
};

#endif
