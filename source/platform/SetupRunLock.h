// Marks a cached setup folder as in use by a run that launches a setup there. Only
// this process holds the lock (close-on-exec): a daemon that a setup leaves behind must
// not keep every later run from the folder. The setup's own process, recorded in the
// file with its start time, keeps it while it runs, even when its launcher is gone.
#ifndef SETUP_RUN_LOCK_H
#define SETUP_RUN_LOCK_H

#include <string>

#include "UniqueFd.h"

class SetupRunLock {
public:
    enum Result { kTaken, kBusy, kFailed };

    // One attempt, without waiting, on the lock file inside folder. kBusy also when the file
    // names a setup process that still runs (its launcher was killed): that one process, not
    // what it left behind, keeps the folder.
    Result Take(const std::string& folder);
    // Records the launched setup's process in the lock file; cleared when it has ended.
    void NoteSetup(int pid);
    void ClearSetup();
    // Whether a setup holds the folder now; creates nothing, and an absent lock file is free.
    static bool IsHeld(const std::string& folder);
    void Release() { mFd.reset(); }

    static const char* const kFileName;

private:
    UniqueFd mFd;
};

#endif
