#include "BundleTree.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sodium.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "ScopedDir.h"
#include "Sha256.h"
#include "UniqueFd.h"

namespace {

std::string Reason(const std::string& path, const char* what) {
    return path + ": cannot " + what + " (" + strerror(errno) + ")";
}


bool SameTimes(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool SameObject(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Reads an open regular file to its end once: exactly the size it had when opened,
// and unchanged meanwhile (a writer changes its size or times).
bool HashOpenFile(int fd, const struct stat& opened, const std::string& label, std::string& sha256, std::string& why) {
    Sha256 hash;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    static const size_t kChunk = 1 << 18;
    std::vector<unsigned char> buffer(kChunk);
    uint64_t total = 0;
    const uint64_t expected = static_cast<uint64_t>(opened.st_size);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            why = Reason(label, "read");
            return false;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (total > expected) break;
        hash.Update(buffer.data(), static_cast<size_t>(n));
    }
    struct stat after;
    if (total != expected || fstat(fd, &after) != 0 || after.st_size != opened.st_size || !SameTimes(opened, after)) {
        why = label + ": changed while it was read";
        return false;
    }
    sha256 = hash.HexDigest();
    return true;
}

bool ReadLinkAt(int folder, const std::string& name, std::string& target) {
    char buffer[PATH_MAX + 1];
    const ssize_t n = readlinkat(folder, name.c_str(), buffer, sizeof(buffer));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(buffer)) return false;
    target.assign(buffer, static_cast<size_t>(n));
    return true;
}

struct Remembered {
    std::mutex lock;
    std::string folder;
    std::map<std::string, BundleTree::KnownDigest> digests;
};

Remembered& Known() {
    static Remembered remembered;
    return remembered;
}

bool SameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

class Walk {
public:
    Walk(const std::set<std::string>& excluded, const BundleTree::ReadPolicy& read, std::vector<BundleTree::Entry>& entries,
         const std::map<std::string, BundleTree::KnownDigest>* known)
        : mExcluded(excluded), mRead(read), mEntries(entries), mKnown(known) {}

    bool Folder(int fd, const std::string& prefix, int depth, std::string& why) {
        struct stat before;
        if (fstat(fd, &before) != 0) {
            why = Reason(prefix.empty() ? "." : prefix, "read");
            return false;
        }
        std::vector<std::string> names;
        ScopedDir listing(fd);
        if (!listing.valid() || !listing.Names(names)) {
            why = Reason(prefix.empty() ? "." : prefix, "list");
            return false;
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (prefix.empty() && mExcluded.count(name)) continue;
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (!Child(fd, name, path, depth, why)) return false;
        }
        struct stat after;
        if (fstat(fd, &after) != 0 || !SameTimes(before, after)) {
            why = (prefix.empty() ? std::string(".") : prefix) + ": changed while it was read";
            return false;
        }
        return true;
    }

private:
    bool Child(int folder, const std::string& name, const std::string& path, int depth, std::string& why) {
        if (mEntries.size() >= BundleTree::kMaxEntries) {
            why = "more than " + std::to_string(BundleTree::kMaxEntries) + " entries";
            return false;
        }
        struct stat st;
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Listed a moment ago: gone now.
            why = errno == ENOENT ? path + ": changed while it was read" : Reason(path, "read");
            return false;
        }
        BundleTree::Entry entry;
        entry.path = path;
        entry.mode = st.st_mode & 07777;
        if (S_ISLNK(st.st_mode)) {
            entry.type = BundleTree::Entry::kLink;
            if (!ReadLinkAt(folder, name, entry.target)) {
                why = Reason(path, "read the link");
                return false;
            }
            entry.size = entry.target.size();
            mEntries.push_back(entry);
            return true;
        }
        if (S_ISDIR(st.st_mode)) {
            if (depth >= BundleTree::kMaxDepth) {
                why = path + ": folders nested too deeply";
                return false;
            }
            UniqueFd inner(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened;
            if (!inner.valid() || fstat(inner.get(), &opened) != 0 || !SameObject(st, opened)) {
                why = inner.valid() ? path + ": changed while it was read" : Reason(path, "open");
                return false;
            }
            entry.type = BundleTree::Entry::kFolder;
            mEntries.push_back(entry);
            return Folder(inner.get(), path, depth + 1, why);
        }
        if (!S_ISREG(st.st_mode)) {
            why = path + ": neither a file, a folder nor a link";
            return false;
        }
        entry.type = BundleTree::Entry::kFile;
        entry.size = static_cast<uint64_t>(st.st_size);
        const BundleTree::KnownDigest* known = nullptr;
        if (mKnown != nullptr) {
            const auto found = mKnown->find(path);
            if (found != mKnown->end()) known = &found->second;
        }
        if (mRead && mRead(path, entry.size) && known != nullptr && known->device == st.st_dev && known->inode == st.st_ino &&
            known->size == st.st_size && SameTime(known->modified, st.st_mtim) && SameTime(known->changed, st.st_ctim)) {
            entry.sha256 = known->sha256;
        } else if (mRead && mRead(path, entry.size)) {
            UniqueFd file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            struct stat opened;
            if (!file.valid() || fstat(file.get(), &opened) != 0 || !SameObject(st, opened) || !S_ISREG(opened.st_mode) ||
                opened.st_size != st.st_size || !SameTimes(st, opened)) {
                why = file.valid() ? path + ": changed while it was read" : Reason(path, "open");
                return false;
            }
            if (!HashOpenFile(file.get(), opened, path, entry.sha256, why)) return false;
        }
        mEntries.push_back(entry);
        return true;
    }

    const std::set<std::string>& mExcluded;
    const BundleTree::ReadPolicy& mRead;
    std::vector<BundleTree::Entry>& mEntries;
    const std::map<std::string, BundleTree::KnownDigest>* mKnown;
};

}  // namespace

bool BundleTree::Scan(const std::string& folder, const std::set<std::string>& excluded, const ReadPolicy& read,
                      std::vector<Entry>& entries, std::string& why) {
    if (sodium_init() < 0) {
        why = "the cryptography library cannot start";
        return false;
    }
    entries.clear();
    UniqueFd top(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top.valid()) {
        why = Reason(folder, "open the folder");
        return false;
    }
    std::map<std::string, KnownDigest> known;
    {
        std::lock_guard<std::mutex> guard(Known().lock);
        if (Known().folder == folder) known = Known().digests;
    }
    Walk walk(excluded, read, entries, known.empty() ? nullptr : &known);
    if (!walk.Folder(top.get(), std::string(), 0, why)) return false;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return true;
}

bool BundleTree::HashFile(const std::string& path, uint64_t maxBytes, std::string& sha256, uint64_t& size,
                          std::string& why) {
    if (sodium_init() < 0) {
        why = "the cryptography library cannot start";
        return false;
    }
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!file.valid() || fstat(file.get(), &st) != 0) {
        why = Reason(path, "open");
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
        why = path + (S_ISREG(st.st_mode) ? ": larger than expected" : ": not a regular file");
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return HashOpenFile(file.get(), st, path, sha256, why);
}

bool BundleTree::LinkTarget(const std::string& path, std::string& target) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ReadLinkAt(AT_FDCWD, path, target);
}

bool BundleTree::IsFolder(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void BundleTree::RememberDigests(const std::string& folder, std::map<std::string, KnownDigest> digests) {
    std::lock_guard<std::mutex> guard(Known().lock);
    Known().folder = folder;
    Known().digests.swap(digests);
}

bool BundleTree::DigestOf(int fd, KnownDigest& digest) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || lseek(fd, 0, SEEK_SET) != 0) return false;
    std::string why;
    if (!HashOpenFile(fd, st, "", digest.sha256, why)) return false;
    digest.device = st.st_dev;
    digest.inode = st.st_ino;
    digest.size = st.st_size;
    digest.modified = st.st_mtim;
    digest.changed = st.st_ctim;
    return true;
}
