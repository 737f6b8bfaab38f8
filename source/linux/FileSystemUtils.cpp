#include "FileSystemUtils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "FileSystemUtilsMac.h"

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CopyContents(int in, int out, off_t size) {
    // The kernel copies (and may share extents) without a round trip through us.
    off_t left = size;
    while (left > 0) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        left -= n;
    }
    if (left == 0) {
        // The file may have grown since it was measured.
        char probe;
        if (read(in, &probe, 1) == 0) return true;
        if (lseek(in, -1, SEEK_CUR) < 0) return false;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

void ApplyOwnerModeTimes(const std::string& path, const struct stat& st) {
    // Owner first: changing it clears set-id bits that the mode then restores.
    if (lchown(path.c_str(), st.st_uid, st.st_gid) != 0) { /* not ours to give away: keep ours */ }
    if (!S_ISLNK(st.st_mode)) chmod(path.c_str(), st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool CopyRegular(const std::string& from, const std::string& to, const struct stat& st) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return false;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = CopyContents(in, out, st.st_size);
    if (ok) {
        // Through the open descriptor: no second path lookup per attribute.
        if (fchown(out, st.st_uid, st.st_gid) != 0) { /* not ours to give away: keep ours */ }
        fchmod(out, st.st_mode & 07777);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) unlink(to.c_str());
    return ok;
}

bool CopyTree(const std::string& from, const std::string& to) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return false;
    if (S_ISREG(st.st_mode)) return CopyRegular(from, to, st);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 1024) + 1);
        ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0) return false;
        target[static_cast<size_t>(n)] = '\0';
        if (symlink(target.data(), to.c_str()) != 0) return false;
        ApplyOwnerModeTimes(to, st);
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(to.c_str(), 0700) != 0) return false;
        DIR* dir = opendir(from.c_str());
        if (dir == nullptr) return false;
        bool ok = true;
        while (struct dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            if (!CopyTree(from + "/" + entry->d_name, to + "/" + entry->d_name)) ok = false;
        }
        closedir(dir);
        ApplyOwnerModeTimes(to, st);
        return ok;
    }
    if (mknod(to.c_str(), st.st_mode, st.st_rdev) != 0) return false;
    ApplyOwnerModeTimes(to, st);
    return true;
}

bool RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
    if (DIR* dir = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            RemoveTree(path + "/" + entry->d_name);
        }
        closedir(dir);
    }
    return rmdir(path.c_str()) == 0;
}

}  // namespace

namespace FileSystemUtils {

bool Exists(const FileSystemPath& path) {
    struct stat st;
    return lstat(path.AsUTF8String().c_str(), &st) == 0;
}

bool IsDirectory(const FileSystemPath& path, bool& isDirectory) {
    struct stat st;
    if (lstat(path.AsUTF8String().c_str(), &st) != 0) return false;
    isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool ChildrenForDirectory(const FileSystemPath& folder, std::vector<FileSystemPath>& children) {
    DIR* dir = opendir(folder.AsUTF8String().c_str());
    if (dir == nullptr) return false;
    children.clear();
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        FileSystemPath child(folder);
        child.AppendUTF8Segment(entry->d_name);
        children.push_back(child);
    }
    closedir(dir);
    return ok;
}

bool CopyFile(const FileSystemPath& from, const FileSystemPath& to, bool keepTargetAttributes) {
    const std::string source = from.AsUTF8String();
    const std::string target = to.AsUTF8String();
    struct stat attributes;
    bool restore = false;
    struct stat existing;
    if (lstat(target.c_str(), &existing) == 0) {
        if (S_ISLNK(existing.st_mode)) return true;
        if (keepTargetAttributes) {
            attributes = existing;
            restore = true;
        } else {
            restore = lstat(source.c_str(), &attributes) == 0;
        }
        RemoveTree(target);
    }
    if (!CopyTree(source, target)) return false;
    if (!restore) return true;
    if (chown(target.c_str(), attributes.st_uid, attributes.st_gid) != 0 && geteuid() == 0) return false;
    if (chmod(target.c_str(), attributes.st_mode & 07777) != 0) return false;
    struct timespec times[2] = {attributes.st_atim, attributes.st_mtim};
    return utimensat(AT_FDCWD, target.c_str(), times, 0) == 0;
}

bool MoveFile(const FileSystemPath& from, const FileSystemPath& to) {
    bool regular = false;
    if (!FileSystemUtilsMac::IsRegularFile(from, regular) || !regular || Exists(to)) return false;
    if (rename(from.AsUTF8String().c_str(), to.AsUTF8String().c_str()) == 0) return true;
    if (!CopyFile(from, to, true)) return false;
    if (DeleteFile(from, false)) return true;
    DeleteFile(to, false);
    return false;
}

bool DeleteFile(const FileSystemPath& path, bool) { return remove(path.AsUTF8String().c_str()) == 0; }

bool LoadFileContents(const FileSystemPath& path, std::vector<unsigned char>& contents) {
    struct stat st;
    if (stat(path.AsUTF8String().c_str(), &st) != 0) return false;
    int fd = open(path.AsUTF8String().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (st.st_size == 0) {
        close(fd);
        contents.clear();
        return true;
    }
    contents.resize(static_cast<size_t>(st.st_size));
    ssize_t n = read(fd, contents.data(), contents.size());
    close(fd);
    return n == static_cast<ssize_t>(contents.size());
}

bool SetWorkingDirectory(const FileSystemPath& path) { return chdir(path.AsUTF8String().c_str()) == 0; }

}  // namespace FileSystemUtils

namespace FileSystemUtilsMac {

bool IsRegularFile(const FileSystemPath& path, bool& isRegular) {
    struct stat st;
    if (lstat(path.AsUTF8String().c_str(), &st) != 0) return false;
    isRegular = S_ISREG(st.st_mode);
    return true;
}

bool DeleteDirectory(const FileSystemPath& path, bool) { return rmdir(path.AsUTF8String().c_str()) == 0; }

bool CreateDirectory(const FileSystemPath& path, uint16_t mode, bool forceMode) {
    const std::string text = path.AsUTF8String();
    if (mkdir(text.c_str(), mode) != 0) return false;
    if (forceMode && chmod(text.c_str(), mode) != 0) {
        rmdir(text.c_str());
        return false;
    }
    return true;
}

bool CreateDirectoryPath(const FileSystemPath& path, uint16_t mode, bool forceMode) {
    if (FileSystemUtils::Exists(path)) return true;
    FileSystemPath parent = path.Parent();
    if (parent.AsUTF8String() != path.AsUTF8String() && !CreateDirectoryPath(parent, mode, forceMode)) return false;
    return CreateDirectory(path, mode, forceMode);
}

bool CreateTemporaryDirectory(FileSystemPath& out) {
    std::vector<char> buffer(1024, '\0');
    strcpy(buffer.data(), "/tmp/.tempdirXXXXXXXX");
    if (mkdtemp(buffer.data()) == nullptr) return false;
    out = FileSystemPath(std::string(buffer.data()));
    return true;
}

}  // namespace FileSystemUtilsMac
