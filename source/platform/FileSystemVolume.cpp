#include "FileSystemVolume.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/stat.h>

#include <stdexcept>

#include "FileSystemUtils.h"
#include "VolumeProbe.h"
#include "ScopedDir.h"
#include "UniqueFd.h"

struct FileSystemVolume::Data {
    FileSystemPath root;
    VolumeProbe::MountEntry mount;
    explicit Data(const FileSystemPath& r) : root(r) {}
};

namespace {

// udev spells blanks and other bytes in labels as \xNN.
std::string DecodeLabel(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(in.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += in[i];
        }
    }
    return out;
}

std::string Resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

}  // namespace

std::optional<FileSystemVolume> FileSystemVolume::Make(const FileSystemPath& path) noexcept {
    try {
        return FileSystemVolume(path);
    } catch (...) {
        return std::nullopt;
    }
}

FileSystemVolume::FileSystemVolume(const FileSystemPath& path) {
    std::string text = path.AsUTF8String();
    if (text.empty() || text[0] != '/') throw std::runtime_error("Unable to locate volume for path.");
    FileSystemPath current = path;
    for (;;) {
        struct statfs fs;
        if (statfs(current.AsUTF8String().c_str(), &fs) == 0) break;
        if (errno != ENOENT && errno != ENAMETOOLONG) throw std::runtime_error("Unable to locate volume for path.");
        FileSystemPath parent = current.Parent();
        if (parent.AsUTF8String() == current.AsUTF8String()) throw std::runtime_error("Unable to locate volume for path.");
        current = parent;
    }
    VolumeProbe::MountEntry mount;
    if (!VolumeProbe::MountFor(current.AsUTF8String(), mount)) throw std::runtime_error("Unable to locate volume for path.");
    mData = std::make_shared<Data>(FileSystemPath(mount.mountPoint));
    mData->mount = mount;
}

bool FileSystemVolume::operator==(const FileSystemVolume& other) const {
    return mData == other.mData || mData->root == other.mData->root;
}

bool FileSystemVolume::RootPath(FileSystemPath& out) const {
    out = mData->root;
    return true;
}

bool FileSystemVolume::FreeSpaceInBytes(uint64_t& out) const {
    struct statfs fs;
    if (statfs(mData->root.AsUTF8String().c_str(), &fs) != 0) return false;
    out = static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_bavail);
    return true;
}

bool FileSystemVolume::CapacityInBytes(uint64_t& out) const {
    struct statfs fs;
    if (statfs(mData->root.AsUTF8String().c_str(), &fs) != 0) return false;
    out = static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_blocks);
    return true;
}

bool FileSystemVolume::FriendlyNameUTF8(std::string& out) const {
    const std::string& source = mData->mount.source;
    if (!source.empty() && source[0] == '/') {
        const std::string device = Resolved(source);
        UniqueFd folder(open("/dev/disk/by-label", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ScopedDir labels(folder.get());
        std::vector<std::string> names;
        labels.Names(names);
        for (const std::string& name : names) {
            if (name[0] == '.') continue;
            if (!device.empty() && Resolved("/dev/disk/by-label/" + name) == device) {
                out = DecodeLabel(name);
                return true;
            }
        }
    }
    out = mData->root.NameAsUTF8String();
    return true;
}

bool FileSystemVolume::FileSystemTypeName(std::string& out) const {
    out = mData->mount.fsType;
    return true;
}

bool FileSystemVolume::IsLocal(bool& out) const {
    struct statfs fs;
    if (statfs(mData->root.AsUTF8String().c_str(), &fs) != 0) return false;
    const std::string& source = mData->mount.source;
    out = !source.empty() && source[0] == '/' && FileSystemUtils::Exists(FileSystemPath::PathFromUTF8(source));
    return true;
}

bool FileSystemVolume::IsCaseSensitive(bool& out) const {
    out = VolumeProbe::TypeIsCaseSensitive(mData->mount.fsType);
    return true;
}
