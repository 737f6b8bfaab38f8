#include "TrustedKeyFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "RootOnlyFolder.h"
#include "ScopedDir.h"
#include "UniqueFd.h"

namespace {

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
        if (loose.empty() && !RootOnlyFolder::RootsAlone(st, !last)) loose = (walked.empty() ? "/" : walked) + ": others than root can change it";
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
        // The keys' files as every root-only file.
        std::string contents, reason;
        if (RootOnlyFolder::ReadAt(current.get(), folder + "/" + name, name, kMaxKeyBytes, contents, reason) !=
            RootOnlyFolder::kOpen) {
            why = reason.empty() ? folder + "/" + name + ": not a small regular file that only root can change" : reason;
            return kUntrusted;
        }
        files.emplace_back(name, contents);
    }
    return kRead;
}
