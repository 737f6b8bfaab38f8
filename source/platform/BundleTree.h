// The entries of a bundle folder as a signature covers them: walked through
// descriptors (never through a link), files read once, streaming, within a bound.
#ifndef BUNDLE_TREE_H
#define BUNDLE_TREE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class BundleTree {
public:
    struct Entry {
        enum Type { kFile, kFolder, kLink };
        std::string path;  // relative to the bundle folder, '/' between names
        Type type = kFile;
        uint64_t size = 0;  // a file's bytes, a link's target length, 0 for a folder
        unsigned mode = 0;  // permission bits
        std::string target;  // a link's
        std::string sha256;  // a file's, lowercase hexadecimal; empty when it was not read
    };

    // Whether a file met in the walk is to be read, given its path and size.
    typedef std::function<bool(const std::string& path, uint64_t size)> ReadPolicy;

    static const size_t kMaxEntries = 1000000;
    static const int kMaxDepth = 128;

    // Every entry below folder but the top-level names in excluded, sorted by path
    // byte-wise. False, with why, when the folder cannot be walked, holds something
    // that is no file, folder or link, or changes while it is walked.
    static bool Scan(const std::string& folder, const std::set<std::string>& excluded, const ReadPolicy& read,
                     std::vector<Entry>& entries, std::string& why);

    // The SHA-256 of a regular file (no link in the last component) of at most maxBytes.
    static bool HashFile(const std::string& path, uint64_t maxBytes, std::string& sha256, uint64_t& size,
                         std::string& why);
    // A link's target (no more than the system's path limit); false when path is no link.
    static bool LinkTarget(const std::string& path, std::string& target);
    // True when path is a folder (not a link to one).
    static bool IsFolder(const std::string& path);

    // A file's digest taken by whoever wrote it where only root can write (the machine's
    // entry, as it stages a bundle), with the identity it had then.
    struct KnownDigest {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified = {}, changed = {};
        std::string sha256;
    };
    // Scans of folder use these digests for its files (by relative path) that are still the
    // very file hashed (device, inode, size and times), instead of reading them again.
    static void RememberDigests(const std::string& folder, std::map<std::string, KnownDigest> digests);
    // The digest of an open regular file, read from its start, with its identity.
    static bool DigestOf(int fd, KnownDigest& digest);
};

#endif
