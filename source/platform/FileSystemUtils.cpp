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
#include "RegularFile.h"
#include "ScopedDir.h"
#include "SystemCalls.h"
#include "UniqueFd.h"

namespace {

// The folder that holds a path, opened, and the path's last component.
bool OpenParent(const FileSystemPath& path, UniqueFd& folder, std::string& name) {
    name = path.NameAsUTF8String();
    if (name.empty() || name == "." || name == "..") return false;
    folder.reset(Sys().openat(AT_FDCWD, path.Parent().AsUTF8String().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    return folder.valid();
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
    // A link in place of the folder is not walked.
    UniqueFd fd(LinkSafeTree::OpenFolder(folder.AsUTF8String()));
    if (!fd.valid()) return false;
    std::vector<std::string> names;
    ScopedDir listing(fd.get());
    const bool ok = listing.Names(names);
    children.clear();
    for (const std::string& name : names) {
        FileSystemPath child(folder);
        child.AppendUTF8Segment(name);
        children.push_back(child);
    }
    return ok;
}

bool CopyFile(const FileSystemPath& from, const FileSystemPath& to, bool keepTargetAttributes) {
    UniqueFd sourceFolder, targetFolder;
    std::string sourceName, targetName, why;
    if (!OpenParent(from, sourceFolder, sourceName) || !OpenParent(to, targetFolder, targetName)) return false;
    return LinkSafeTree::CopyEntryAt(sourceFolder.get(), sourceName, targetFolder.get(), targetName, keepTargetAttributes,
                                     false, why);
}

bool CopyFolderContents(const FileSystemPath& from, const FileSystemPath& to, const std::string& suffix,
                        LinkSafeTree::Outcome& outcome) {
    const std::string source = from.AsUTF8String();
    struct stat st;
    if (Sys().fstatat(AT_FDCWD, source.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return true;
    UniqueFd sourceFolder(LinkSafeTree::OpenFolder(source));
    if (!sourceFolder.valid()) {
        outcome.failures.push_back(source + ": not a folder of its own (" + strerror(errno) + ")");
        return false;
    }
    // The target may be new (the shared runtime folder on its first patch).
    if (!Exists(to) && !FileSystemUtilsMac::CreateDirectoryPath(to, 0755, true)) {
        outcome.failures.push_back(to.AsUTF8String() + ": cannot be created (" + strerror(errno) + ")");
        return false;
    }
    UniqueFd targetFolder(LinkSafeTree::OpenFolder(to.AsUTF8String()));
    if (!targetFolder.valid()) {
        outcome.failures.push_back(to.AsUTF8String() + ": not a folder of its own (" + strerror(errno) + ")");
        return false;
    }
    LinkSafeTree::CopyChildren(sourceFolder.get(), targetFolder.get(), suffix, source, outcome);
    return outcome.failures.empty();
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
    std::string bytes;
    if (RegularFile::Read(path.AsUTF8String(), RegularFile::kFollowLinks, bytes) != RegularFile::kRead) return false;
    contents.assign(bytes.begin(), bytes.end());
    return true;
}

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
