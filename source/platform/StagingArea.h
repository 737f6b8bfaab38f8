// A run's snapshot of a bundle, where only root can write: made fresh for each run, locked
// while the run lives, removed when it ends; what a killed run left is removed by the next.
#ifndef STAGING_AREA_H
#define STAGING_AREA_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "BundleTree.h"
#include "UniqueFd.h"

class StagingArea {
public:
    struct Size {
        uint64_t bytes = 0;   // what the copy will take on disk, roughly: files' sizes and a block per folder
        size_t entries = 0;
    };
    // Entries a bundle may hold, and how deep; a file may grow no more while it is copied.
    static const size_t kMaxEntries = 1000000;
    static const int kMaxDepth = 128;

    // A new run folder (0700, root's) under the staging root, made with the folders above it
    // where missing; the runs that killed starts left behind are removed first.
    static std::optional<StagingArea> Create(std::string& why);

    // What copying the folder open at bundleFd will take. False when it holds anything but
    // files, folders and links, or more than the bounds.
    static bool Measure(int bundleFd, Size& size, std::string& why);

    // Copies the folder open at bundleFd into SnapshotFolder(): files, folders and links only,
    // through descriptors, each file exactly as long as when it was opened; no set-id bit.
    // Each copy is hashed as it is made, on a second thread while the next one is copied.
    bool CopyIn(int bundleFd, std::string& why);
    // The copies' digests, by path below the snapshot.
    std::map<std::string, BundleTree::KnownDigest>& Digests() { return mDigests; }

    // Beside the snapshot, for the staged run's report: where it came from.
    bool RecordSource(const std::string& folder, std::string& why);

    const std::string& RunFolder() const { return mRunPath; }
    std::string SnapshotFolder() const;

    StagingArea(StagingArea&&) = default;
    StagingArea& operator=(StagingArea&&) = default;
    ~StagingArea();  // removes the run folder

private:
    StagingArea() = default;
    UniqueFd mStaging;   // the staging root
    UniqueFd mRun;       // the run folder, locked (shared) while this lives
    std::string mRunName;
    std::string mRunPath;
    std::map<std::string, BundleTree::KnownDigest> mDigests;
};

#endif
