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
#include "ProcessStamp.h"
#include "LinkSafeTree.h"

const char* const SetupRunLock::kFileName = ".setup-running.lock";

namespace {

bool RecordedSetupRuns(int fd) {
    char buffer[128];
    const ssize_t n = pread(fd, buffer, sizeof(buffer) - 1, 0);
    if (n <= 0) return false;
    buffer[n] = '\0';
    std::string record(buffer);
    if (!record.empty() && record.back() == '\n') record.pop_back();
    return ProcessStamp::Runs(record);
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
    const Expected<std::string> stamp = ProcessStamp::OfRunning(pid);
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
