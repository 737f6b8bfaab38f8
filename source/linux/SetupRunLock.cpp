#include "SetupRunLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "LinkSafeTree.h"

const char* const SetupRunLock::kFileName = ".setup-running.lock";

SetupRunLock::Result SetupRunLock::Take(const std::string& folder) {
    mFd.reset();
    UniqueFd parent(LinkSafeTree::OpenFolder(folder));
    if (!parent.valid()) return kFailed;
    UniqueFd fd(openat(parent.get(), kFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kFailed;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? kBusy : kFailed;
    mFd = std::move(fd);
    return kTaken;
}

bool SetupRunLock::IsHeld(const std::string& folder) {
    UniqueFd parent(LinkSafeTree::OpenFolder(folder));
    if (!parent.valid()) return false;
    UniqueFd fd(openat(parent.get(), kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}
