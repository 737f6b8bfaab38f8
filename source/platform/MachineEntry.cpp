#include "MachineEntry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "Elevation.h"
#include "MacUtils.h"
#include "RegularFile.h"

namespace MachineEntry {

const char* const kSnapshotName = "bundle";
const char* const kSourceRecordName = "source";

namespace {

std::string UnderRoot(const char* relative) {
    const std::string root = MacUtils::SystemRoot();
    return (root == "/" ? std::string() : root) + relative;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool OnlyRootReaches(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & 077) == 0; }

}  // namespace

std::string ProgramPath() { return UnderRoot("/usr/libexec/kavex/kavex-update"); }

std::string StagingRoot() { return UnderRoot("/var/lib/kavex/staging"); }

std::optional<std::string> InstalledProgram(std::string& why) {
    const std::string path = ProgramPath();
    if (!Elevation::IsRootOnlyFolder(ParentOf(path), why)) return std::nullopt;
    UniqueFd fd(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        why = path + " is not installed";
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (st.st_mode & S_IXUSR) == 0) {
        why = path + " is not a program of root's that only root may change";
        return std::nullopt;
    }
    return path;
}

bool IsRootOnlySnapshot(const std::string& bundleFolder) {
    std::string why;
    if (bundleFolder.empty() || bundleFolder[0] != '/' || !Elevation::IsRootOnlyFolder(bundleFolder, why)) return false;
    struct stat folder, parent;
    return lstat(bundleFolder.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) && OnlyRootReaches(folder) &&
           lstat(ParentOf(bundleFolder).c_str(), &parent) == 0 && S_ISDIR(parent.st_mode) && OnlyRootReaches(parent);
}

UniqueFd HoldStaging(const std::string& bundleFolder) {
    const std::string run = ParentOf(bundleFolder);
    const size_t slash = bundleFolder.find_last_of('/');
    if (slash == std::string::npos || bundleFolder.substr(slash + 1) != kSnapshotName ||
        ParentOf(run) != StagingRoot() || !IsRootOnlySnapshot(bundleFolder)) {
        return UniqueFd();
    }
    UniqueFd fd(open(run.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() || flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return UniqueFd();
    return fd;
}

std::optional<std::string> StagedFrom(const std::string& bundleFolder) {
    const std::string run = ParentOf(bundleFolder);
    if (ParentOf(run) != StagingRoot() || !IsRootOnlySnapshot(bundleFolder)) return std::nullopt;
    std::string source;
    if (RegularFile::Read(run + "/" + kSourceRecordName, RegularFile::kNoFinalLink, source, 8192) != RegularFile::kRead) {
        return std::nullopt;
    }
    return source;
}

}  // namespace MachineEntry
