#include "VolumeProbe.h"

#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as octal.
std::string Unescape(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size()) {
            const std::string oct = in.substr(i + 1, 3);
            if (oct.size() == 3 && oct.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += in[i];
    }
    return out;
}

bool Contains(const std::string& mountPoint, const std::string& path) {
    if (mountPoint == "/") return true;
    if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

}  // namespace

namespace VolumeProbe {

bool MountFor(const std::string& existingPath, MountEntry& out) {
    char resolved[PATH_MAX];
    if (realpath(existingPath.c_str(), resolved) == nullptr) return false;
    const std::string path(resolved);
    std::ifstream info("/proc/self/mountinfo");
    if (!info) return false;
    bool found = false;
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::vector<std::string> parts;
        std::string field;
        while (fields >> field) parts.push_back(field);
        size_t dash = 0;
        for (size_t i = 6; i < parts.size(); ++i) {
            if (parts[i] == "-") {
                dash = i;
                break;
            }
        }
        if (parts.size() < 5 || dash == 0 || dash + 2 >= parts.size()) continue;
        const std::string mountPoint = Unescape(parts[4]);
        if (!Contains(mountPoint, path)) continue;
        // Deeper mounts win; among equal mount points the later one is on top.
        if (!found || mountPoint.size() >= out.mountPoint.size()) {
            out.mountPoint = mountPoint;
            out.fsType = parts[dash + 1];
            out.source = Unescape(parts[dash + 2]);
            found = true;
        }
    }
    return found;
}

bool TypeIsCaseSensitive(const std::string& fsType) {
    static const char* const kFolding[] = {"vfat", "msdos", "fat", "exfat", "ntfs", "ntfs3", "fuseblk",
                                           "cifs", "smb3", "smbfs", "hfs", "hfsplus", "apfs"};
    for (const char* name : kFolding) {
        if (fsType == name) return false;
    }
    return true;
}

bool IsCaseSensitiveAt(const std::string& existingPath, bool& sensitive) {
    MountEntry entry;
    if (!MountFor(existingPath, entry)) return false;
    sensitive = TypeIsCaseSensitive(entry.fsType);
    return true;
}

}  // namespace VolumeProbe
