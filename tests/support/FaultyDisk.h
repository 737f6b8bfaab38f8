// A disk that fails as real ones do, for the copy and the store's files: while an object
// lives, the system calls they write with fail, fall short or are interrupted as told.
#ifndef FAULTY_DISK_H
#define FAULTY_DISK_H

#include <cstddef>
#include <functional>

#include "SystemCalls.h"

class FaultyDisk {
public:
    enum Call { kRead, kWrite, kCopyRange, kFsync, kClose, kRename, kCalls };

    FaultyDisk();
    ~FaultyDisk();
    FaultyDisk(const FaultyDisk&) = delete;
    FaultyDisk& operator=(const FaultyDisk&) = delete;

    // From its (after + 1)th use on, the call fails with error (EIO, ENOSPC, ...), times times (-1: for ever).
    void Fail(Call call, int error, int after = 0, int times = -1);
    // Every use fails with error from the first one at which when() answers true (a fault that
    // starts at a moment the test chooses, such as once a setup has run).
    void FailFrom(Call call, int error, std::function<bool()> when);
    // Each use is first interrupted (EINTR) once, then goes through.
    void Interrupt(Call call);
    // Writes move at most bytes at a time.
    void ShortWrites(size_t bytes);
    // How many times the call was made, interruptions and failures included.
    int Uses(Call call) const;

private:
    SystemCalls mPrevious;
};

#endif
