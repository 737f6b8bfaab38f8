#include "TrustedKeyFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ScopedDir.h"
#include "UniqueFd.h"

namespace {

// The keys' folder and files: root's, and writable by root alone. A folder above
// them may also be writable by root's group (the shared folders are made 0775), or
// by anybody when sticky (as /tmp): nobody else can rename what is in it.
bool RootsAlone(const struct stat& st, bool above) {
    if (st.st_uid != 0) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    if (!above) return false;
    if ((st.st_mode & S_ISVTX) != 0) return true;
    return (st.st_mode & S_IWOTH) == 0 && st.st_gid == 0;
}

bool EndsWithPub(const std::string& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0; }

}  // namespace

TrustedKeyFolder::Outcome TrustedKeyFolder::Read(const std::string& folder,
                                                 std::vector<std::pair<std::string, std::string> >& files,
                                                 std::string& why) {
    files.clear();
    if (folder.empty() || folder[0] != '/') {
        why = folder + ": not an absolute path";
        return kUntrusted;
    }
    UniqueFd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked, loose;
    size_t start = 1;
    for (;;) {
        struct stat st;
        if (!current.valid() || fstat(current.get(), &st) != 0) {
            why = (walked.empty() ? "/" : walked) + ": cannot be opened (" + strerror(errno) + ")";
            return kUntrusted;
        }
        const bool last = start >= folder.size();
        // A folder that is not there trusts nothing, whatever lies above it: the
        // machine runs as it did before keys existed.
        if (loose.empty() && !RootsAlone(st, !last)) loose = (walked.empty() ? "/" : walked) + ": others than root can change it";
        if (last) break;
        size_t slash = folder.find('/', start);
        if (slash == std::string::npos) slash = folder.size();
        const std::string name = folder.substr(start, slash - start);
        start = slash + 1;
        if (name.empty() || name == ".") continue;
        walked += "/" + name;
        if (name == "..") {
            why = folder + ": names a parent folder";
            return kUntrusted;
        }
        UniqueFd next(openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid() && errno == ENOENT) return kAbsent;
        if (!next.valid()) {
            why = walked + ": not a folder that can be opened (" + strerror(errno) + ")";
            return kUntrusted;
        }
        current = std::move(next);
    }
    if (!loose.empty()) {
        why = loose;
        return kUntrusted;
    }
    std::vector<std::string> names;
    ScopedDir listing(current.get());
    if (!listing.valid() || !listing.Names(names)) {
        why = folder + ": cannot be listed";
        return kUntrusted;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!EndsWithPub(name)) continue;
        if (files.size() >= kMaxKeys) {
            why = folder + ": more than " + std::to_string(kMaxKeys) + " keys";
            return kUntrusted;
        }
        UniqueFd file(openat(current.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat st;
        if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !RootsAlone(st, false) ||
            static_cast<size_t>(st.st_size) > kMaxKeyBytes) {
            why = folder + "/" + name + ": not a small regular file that only root can change";
            return kUntrusted;
        }
        std::string contents(kMaxKeyBytes + 1, '\0');
        size_t have = 0;
        for (;;) {
            const ssize_t n = read(file.get(), &contents[have], contents.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = folder + "/" + name + ": cannot be read";
                return kUntrusted;
            }
            if (n == 0 || (have += static_cast<size_t>(n)) >= contents.size()) break;
        }
        if (have > kMaxKeyBytes) {
            why = folder + "/" + name + ": too large for a key";
            return kUntrusted;
        }
        contents.resize(have);
        files.emplace_back(name, contents);
    }
    return kRead;
}
