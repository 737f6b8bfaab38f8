#include "SetupRunLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LinkSafeTree.h"

const char* const SetupRunLock::kFileName = ".setup-running.lock";

namespace {

// "<pid> <start time in ticks since boot>": a pid reused by another process does not match.
std::string ProcessStamp(int pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::string();
    char buffer[1024];
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    // The name in parentheses may hold anything: fields are counted after its last ')'.
    const char* fields = strrchr(buffer, ')');
    if (fields == nullptr) return std::string();
    int field = 2;
    const char* at = fields + 1;
    while (*at != '\0' && field < 22) {
        if (*at == ' ') ++field;
        ++at;
    }
    if (field != 22) return std::string();
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
    return pid > 0 && ProcessStamp(pid) == record;
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
    const std::string stamp = ProcessStamp(pid) + "\n";
    if (ftruncate(mFd.get(), 0) == 0 && stamp.size() > 1) {
        (void)!pwrite(mFd.get(), stamp.data(), stamp.size(), 0);
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
