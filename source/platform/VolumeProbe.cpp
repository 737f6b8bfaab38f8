#include "VolumeProbe.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <sstream>
#include <vector>

#include "UniqueFd.h"

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


std::vector<VolumeProbe::MountEntry> Parse(const std::string& text) {
    std::vector<VolumeProbe::MountEntry> table;
    std::istringstream info(text);
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
        table.push_back(VolumeProbe::MountEntry{Unescape(parts[4]), parts[dash + 1], Unescape(parts[dash + 2])});
    }
    return table;
}

// The mount table is read once and kept with its descriptor open: the kernel marks that
// descriptor (POLLPRI) when anything is mounted or unmounted, and only then is it read again.
struct CachedTable {
    std::mutex mutex;
    UniqueFd fd;
    bool loaded = false;
    std::vector<VolumeProbe::MountEntry> entries;
};

CachedTable& Cache() {
    static CachedTable* cache = new CachedTable;  // never destroyed: lookups may come during exit
    return *cache;
}

bool ReadAll(int fd, std::string& text) {
    text.clear();
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    char chunk[16384];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(chunk, static_cast<size_t>(n));
    }
}

bool MountTable(std::vector<VolumeProbe::MountEntry>& out) {
    CachedTable& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (cache.loaded) {
        struct pollfd changed = {cache.fd.get(), POLLPRI, 0};
        int ready;
        do {
            ready = poll(&changed, 1, 0);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            out = cache.entries;
            return true;
        }
        cache.loaded = false;
    }
    if (!cache.fd.valid()) cache.fd.reset(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!cache.fd.valid() || !ReadAll(cache.fd.get(), text)) {
        cache.fd.reset();
        return false;
    }
    cache.entries = Parse(text);
    cache.loaded = true;
    out = cache.entries;
    return true;
}

}  // namespace

namespace VolumeProbe {

bool MountFor(const std::string& existingPath, MountEntry& out) {
    char resolved[PATH_MAX];
    if (realpath(existingPath.c_str(), resolved) == nullptr) return false;
    const std::string path(resolved);
    std::vector<MountEntry> table;
    if (!MountTable(table)) return false;
    bool found = false;
    for (const MountEntry& entry : table) {
        if (!Contains(entry.mountPoint, path)) continue;
        // Deeper mounts win; among equal mount points the later one is on top.
        if (!found || entry.mountPoint.size() >= out.mountPoint.size()) {
            out = entry;
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
