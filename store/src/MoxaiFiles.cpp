#include "MoxaiFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AtomicFileWriter.h"
#include "MacUtils.h"
#include "FileContents.h"
#include "MoxaiResultCodes.h"
#include "RegularFile.h"
#include "SystemCalls.h"
#include "UniqueFd.h"

bool moxaiDbPath(std::string& base) {
    std::string folder;
    if (!MacUtils::StdStringFindFolder(kLocalDomain, kApplicationSupportFolderType, kDontCreateFolder, folder)) {
        return false;
    }
    base = folder + "/Kavex";
    return true;
}

bool moxaiPathAppend(const std::string& base, const std::string& segment, std::string& out) {
    if (base.size() + segment.size() > 1024) return false;
    std::string result = base;
    if (!segment.empty()) {
        size_t skip = segment.find_first_not_of('/');
        if (skip == std::string::npos) skip = segment.size();
        if (result.empty() || result.back() != '/') result += '/';
        result.append(segment, skip, std::string::npos);
    }
    out = result;
    return true;
}

bool moxaiPathParent(const std::string& path, std::string& parent) {
    std::vector<char> copy(path.begin(), path.end());
    copy.push_back('\0');
    if (const char* p = dirname(copy.data())) parent = p;
    return true;
}

bool moxaiPathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool moxaiFileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool moxaiDirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int moxaiGetFileModTime(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mtime) : 0;
}

int moxaiCreatePath(const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kMoxaOK : kMoxaErrIO;
    std::string parent = folder;
    moxaiPathParent(folder, parent);
    if (parent != folder) {
        int rc = moxaiCreatePath(parent);
        if (rc != kMoxaOK) return rc;
    }
    return moxaiCreateDirectory(folder);
}

int moxaiCreateDirectory(const std::string& folder) {
    // Only root creates the shared folders, so that their owner is right.
    if (geteuid() != 0) return kMoxaErrAccessDenied;
    mode_t old = umask(002);
    int rc = mkdir(folder.c_str(), 0777);
    int error = errno;
    umask(old);
    if (rc == 0) return kMoxaOK;
    switch (error) {
        case EEXIST: return moxaiDirectoryExists(folder) ? kMoxaOK : kMoxaErrIO;
        case ENAMETOOLONG: return kMoxaErrInvalidArgument;
        case EACCES: return kMoxaErrAccessDenied;
        default: return kMoxaErrIO;
    }
}

// Written beside the target and renamed over it: the target is either the old
// copy or the whole new one, never a half-written file (a full disk, a crash).
bool moxaiCopyDatabaseFile(const std::string& from, const std::string& to) {
    UniqueFd in(Sys().openat(AT_FDCWD, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat st;
    if (!in.valid() || Sys().fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string why;
    return AtomicFileWriter::WriteWith(to, st.st_mode & 0777 & ~0022,
                                       [&](int fd) { return FileContents::Copy(in.get(), fd, st.st_size); }, why);
}

bool moxaiBackupIsCurrent(const std::string& store, const std::string& backup) {
    struct stat from, to;
    if (lstat(store.c_str(), &from) != 0 || lstat(backup.c_str(), &to) != 0) return false;
    if (!S_ISREG(from.st_mode) || !S_ISREG(to.st_mode) || from.st_size != to.st_size) return false;
    // A journal beside the store may hold changes that the file does not show yet.
    struct stat journal;
    if (lstat((store + "-journal").c_str(), &journal) == 0 || lstat((store + "-wal").c_str(), &journal) == 0) return false;
    return to.st_mtim.tv_sec > from.st_mtim.tv_sec ||
           (to.st_mtim.tv_sec == from.st_mtim.tv_sec && to.st_mtim.tv_nsec > from.st_mtim.tv_nsec);
}

bool moxaiNonEmptyFile(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

unsigned moxaiAdminGroup() {
    if (struct group* gr = getgrnam("sudo")) return gr->gr_gid;
    return 0;
}

namespace {
void SetAccess(const std::string& path, mode_t mode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    const unsigned admin = moxaiAdminGroup();
    if (geteuid() == 0 && (st.st_uid != 0 || st.st_gid != admin)) {
        if (chown(path.c_str(), 0, admin) != 0) { /* best effort */ }
    }
    chmod(path.c_str(), mode);
}
}  // namespace

int moxaiSetDbAccess(const std::string& folder, const std::string& fileName, bool shared) {
    SetAccess(folder, shared ? 01777 : 0755);
    std::string file;
    if (moxaiPathAppend(folder, fileName, file)) SetAccess(file, shared ? 0666 : 0644);
    return kMoxaOK;
}

bool moxaiLoadFileContents(const std::string& path, std::vector<unsigned char>& contents) {
    std::string bytes;
    if (RegularFile::Read(path, RegularFile::kFollowLinks, bytes) != RegularFile::kRead) return false;
    contents.assign(bytes.begin(), bytes.end());
    return true;
}
