#include "SetupRunLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Expected.h"
#include "LinkSafeTree.h"

const char* const SetupRunLock::kFileName = ".setup-running.lock";

namespace {

// "<pid> <start time in ticks since boot>" of a process that runs: a pid reused by another
// process does not match, and one that has ended runs nothing though it stays in the process
// table (a zombie, 'Z') until its parent, or whoever inherited it, reaps it.
Expected<std::string> RunningProcessStamp(int pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    const ssize_t n = fd.valid() ? read(fd.get(), buffer, sizeof(buffer) - 1) : -1;
    if (n < 0) return ExpectedFailure(errno, std::string(path) + " cannot be read: " + strerror(errno));
    if (n == 0) return ExpectedFailure(0, std::string(path) + " is empty");
    buffer[n] = '\0';
    // The name in parentheses may hold anything: fields are counted after its last ')'.
    const char* fields = strrchr(buffer, ')');
    if (fields == nullptr || fields[1] != ' ') return ExpectedFailure(0, std::string(path) + " has no process name");
    const char state = fields[2];
    if (state == 'Z' || state == 'X') return ExpectedFailure(ESRCH, "process " + std::to_string(pid) + " has ended");
    int field = 2;
    const char* at = fields + 1;
    while (*at != '\0' && field < 22) {
        if (*at == ' ') ++field;
        ++at;
    }
    if (field != 22) return ExpectedFailure(0, std::string(path) + " has no start time");
    const char* end = strchr(at, ' ');
    return std::to_string(pid) + " " + std::string(at, end != nullptr ? static_cast<size_t>(end - at) : strlen(at));
}

bool RecordedSetupRuns(int fd) {
    char buffer[128];
    const ssize_t n = pread(fd, buffer, sizeof(buffer) - 1, 0);
    if (n <= 0) return false;
    buffer[n] = '\0';
    std::string record(buffer);
    if (!record.empty() && record.back() == '\n') record.pop_back();
    const int pid = atoi(record.c_str());
    if (pid <= 0) return false;
    const Expected<std::string> stamp = RunningProcessStamp(pid);
    return stamp && *stamp == record;
}

}  // namespace

SetupRunLock::Result SetupRunLock::Take(const std::string& folder) {
    mFd.reset();
    UniqueFd parent(LinkSafeTree::OpenFolder(folder));
    if (!parent.valid()) return kFailed;
    UniqueFd fd(openat(parent.get(), kFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kFailed;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? kBusy : kFailed;
    if (RecordedSetupRuns(fd.get())) return kBusy;
    mFd = std::move(fd);
    return kTaken;
}

void SetupRunLock::NoteSetup(int pid) {
    if (!mFd.valid()) return;
    const Expected<std::string> stamp = RunningProcessStamp(pid);
    if (ftruncate(mFd.get(), 0) == 0 && stamp) {
        const std::string line = *stamp + "\n";
        (void)!pwrite(mFd.get(), line.data(), line.size(), 0);
    }
}

void SetupRunLock::ClearSetup() {
    if (mFd.valid()) (void)!ftruncate(mFd.get(), 0);
}

bool SetupRunLock::IsHeld(const std::string& folder) {
    UniqueFd parent(LinkSafeTree::OpenFolder(folder));
    if (!parent.valid()) return false;
    UniqueFd fd(openat(parent.get(), kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    return RecordedSetupRuns(fd.get());
}
