#include "RootOnlyFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>

#include "FileContents.h"

namespace {

std::string Where(const std::string& walked) { return walked.empty() ? "/" : walked; }

}  // namespace

bool RootOnlyFolder::RootsAlone(const struct stat& st, bool above) {
    if (st.st_uid != 0) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    if (!above) return false;
    if ((st.st_mode & S_ISVTX) != 0) return true;
    return (st.st_mode & S_IWOTH) == 0 && st.st_gid == 0;
}

RootOnlyFolder::Outcome RootOnlyFolder::Open(const std::string& path, Kind kind, bool create, std::string& why) {
    mFolder.reset();
    mPath = path;
    if (path.empty() || path[0] != '/') {
        why = path + ": not an absolute path";
        return kUntrusted;
    }
    UniqueFd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    size_t start = 1;
    for (;;) {
        struct stat st;
        if (!current.valid() || fstat(current.get(), &st) != 0) {
            why = Where(walked) + ": cannot be opened (" + strerror(errno) + ")";
            return kUntrusted;
        }
        while (start < path.size() && path[start] == '/') ++start;
        const bool last = start >= path.size();
        if (!RootsAlone(st, !last || kind == kShared) || (last && kind == kPrivate && (st.st_mode & 077) != 0)) {
            why = Where(walked) + (last && kind == kPrivate ? ": not root's alone" : ": others than root can change it");
            return kUntrusted;
        }
        if (last) break;
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string name = path.substr(start, slash - start);
        start = slash;
        walked += "/" + name;
        if (name == "." || name == "..") {
            why = path + ": names . or ..";
            return kUntrusted;
        }
        const bool final = path.find_first_not_of('/', start) == std::string::npos;
        UniqueFd next(openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid() && errno == ENOENT && create) {
            const mode_t mode = final && kind == kPrivate ? 0700 : 0755;
            if (mkdirat(current.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
                why = walked + ": cannot be made (" + strerror(errno) + ")";
                return kUntrusted;
            }
            next.reset(openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            // The umask may have taken more; the mode is what it must be.
            if (next.valid()) fchmod(next.get(), mode);
        }
        if (!next.valid()) {
            if (errno == ENOENT) return kAbsent;
            if (errno == EACCES) {
                why = walked + ": this user may not look";
                return kDenied;
            }
            why = walked + ": not a folder that can be opened (" + strerror(errno) + ")";
            return kUntrusted;
        }
        current = std::move(next);
    }
    mFolder = std::move(current);
    return kOpen;
}

RootOnlyFolder::Outcome RootOnlyFolder::Read(const std::string& name, size_t maxBytes, std::string& contents,
                                             std::string& why) const {
    return ReadAt(mFolder.get(), mPath + "/" + name, name, maxBytes, contents, why);
}

RootOnlyFolder::Outcome RootOnlyFolder::ReadAt(int folder, const std::string& path, const std::string& name,
                                               size_t maxBytes, std::string& contents, std::string& why) {
    contents.clear();
    UniqueFd file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid()) {
        if (errno == ENOENT) return kAbsent;
        why = path + (errno == EACCES ? ": this user may not read it" : ": not a file that can be opened");
        return errno == EACCES ? kDenied : kUntrusted;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !RootsAlone(st, false) ||
        static_cast<uint64_t>(st.st_size) > maxBytes) {
        why = path + ": not a small regular file that only root can change";
        return kUntrusted;
    }
    std::string bytes(maxBytes + 1, '\0');
    size_t have = 0;
    for (;;) {
        const ssize_t n = read(file.get(), &bytes[have], bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = path + ": cannot be read";
            return kUntrusted;
        }
        if (n == 0 || (have += static_cast<size_t>(n)) >= bytes.size()) break;
    }
    if (have > maxBytes) {
        why = path + ": grew while it was read";
        return kUntrusted;
    }
    bytes.resize(have);
    contents.swap(bytes);
    return kOpen;
}

bool RootOnlyFolder::Write(const std::string& name, const std::string& contents, std::string& why) const {
    unsigned char random[8];
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
        why = mPath + ": no name for a temporary file";
        return false;
    }
    std::string temporary = "." + name + ".";
    for (unsigned char byte : random) temporary += "0123456789abcdef"[byte & 15];
    UniqueFd out(openat(mFolder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool ok = out.valid() && FileContents::WriteAll(out.get(), contents) && fsync(out.get()) == 0;
    ok = out.close() == 0 && ok;
    ok = ok && renameat(mFolder.get(), temporary.c_str(), mFolder.get(), name.c_str()) == 0;
    if (!ok) {
        why = mPath + "/" + name + ": cannot be written (" + strerror(errno) + ")";
        unlinkat(mFolder.get(), temporary.c_str(), 0);
        return false;
    }
    if (fsync(mFolder.get()) != 0) {
        why = mPath + ": cannot be synced (" + strerror(errno) + ")";
        return false;
    }
    return true;
}

bool RootOnlyFolder::Lock(std::string& why) const {
    for (;;) {
        if (flock(mFolder.get(), LOCK_EX) == 0) return true;
        if (errno != EINTR) break;
    }
    why = mPath + ": cannot be locked (" + strerror(errno) + ")";
    return false;
}
