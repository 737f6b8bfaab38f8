#include "FaultyDisk.h"

#include <errno.h>
#include <unistd.h>

#include <utility>

namespace {

struct Rule {
    int error = 0;
    int after = 0;
    int times = -1;
    int failed = 0;
    bool interrupt = false;
    bool interrupted = false;
    int uses = 0;
    std::function<bool()> when;
    bool started = false;
};

Rule gRules[FaultyDisk::kCalls];
size_t gShortWrite = 0;
SystemCalls gReal;

// True (errno set) when this use must fail.
bool Faulty(FaultyDisk::Call call) {
    Rule& rule = gRules[call];
    ++rule.uses;
    if (rule.interrupt) {
        rule.interrupted = !rule.interrupted;
        if (rule.interrupted) {
            errno = EINTR;
            return true;
        }
    }
    if (rule.when && !rule.started) rule.started = rule.when();
    if (rule.when && !rule.started) return false;
    if (rule.error != 0 && rule.uses > rule.after && (rule.times < 0 || rule.failed < rule.times)) {
        ++rule.failed;
        errno = rule.error;
        return true;
    }
    return false;
}

ssize_t Read(int fd, void* buffer, size_t size) { return Faulty(FaultyDisk::kRead) ? -1 : gReal.read(fd, buffer, size); }

ssize_t Write(int fd, const void* buffer, size_t size) {
    if (Faulty(FaultyDisk::kWrite)) return -1;
    return gReal.write(fd, buffer, gShortWrite > 0 && size > gShortWrite ? gShortWrite : size);
}

ssize_t CopyRange(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t size, unsigned flags) {
    return Faulty(FaultyDisk::kCopyRange) ? -1 : gReal.copyFileRange(in, inOffset, out, outOffset, size, flags);
}

int Fsync(int fd) { return Faulty(FaultyDisk::kFsync) ? -1 : gReal.fsync(fd); }

// A close that fails has still released the descriptor, as Linux's does.
int Close(int fd) {
    const bool faulty = Faulty(FaultyDisk::kClose);
    const int error = errno;
    const int rc = gReal.close(fd);
    if (!faulty) return rc;
    errno = error;
    return -1;
}

int Rename(int fromFolder, const char* from, int toFolder, const char* to) {
    return Faulty(FaultyDisk::kRename) ? -1 : gReal.renameat(fromFolder, from, toFolder, to);
}

}  // namespace

FaultyDisk::FaultyDisk() {
    for (Rule& rule : gRules) rule = Rule();
    gShortWrite = 0;
    gReal = SystemCalls::Real();
    SystemCalls table = gReal;
    table.read = Read;
    table.write = Write;
    table.copyFileRange = CopyRange;
    table.fsync = Fsync;
    table.close = Close;
    table.renameat = Rename;
    mPrevious = SystemCalls::Replace(table);
}

FaultyDisk::~FaultyDisk() { SystemCalls::Replace(mPrevious); }

void FaultyDisk::Fail(Call call, int error, int after, int times) {
    Rule& rule = gRules[call];
    rule.error = error;
    rule.after = rule.uses + after;
    rule.times = times;
    rule.failed = 0;
}

void FaultyDisk::FailFrom(Call call, int error, std::function<bool()> when) {
    Fail(call, error);
    gRules[call].when = std::move(when);
    gRules[call].started = false;
}

void FaultyDisk::Interrupt(Call call) { gRules[call].interrupt = true; }

void FaultyDisk::ShortWrites(size_t bytes) { gShortWrite = bytes; }

int FaultyDisk::Uses(Call call) const { return gRules[call].uses; }
