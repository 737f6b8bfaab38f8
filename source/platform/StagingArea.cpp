#include "StagingArea.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Elevation.h"
#include "FileContents.h"
#include "LinkSafeTree.h"
#include "MOQLogger.h"
#include "MachineEntry.h"
#include "ScopedDir.h"
#include "SystemCalls.h"

namespace {

const char* const kLockName = ".lock";

std::string Reason(const std::string& what) { return what + ": " + strerror(errno); }

// One folder below another, made when missing with mode; an existing one must be a folder
// (never a link) of root's that nobody else can write.
UniqueFd RootFolderAt(int parent, const std::string& name, mode_t mode, const std::string& path, std::string& why) {
    if (mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST) {
        why = Reason(path);
        return UniqueFd();
    }
    UniqueFd fd(LinkSafeTree::OpenFolderAt(parent, name));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        why = Reason(path);
        return UniqueFd();
    }
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = path + " may be changed by someone other than root";
        return UniqueFd();
    }
    return fd;
}

// <machine root>/var/lib/kavex/staging, 0700: nobody else may even look at a snapshot.
UniqueFd OpenStagingRoot(std::string& why) {
    const std::string staging = MachineEntry::StagingRoot();
    const std::string root = staging.substr(0, staging.size() - std::string("/var/lib/kavex/staging").size());
    if (!Elevation::IsRootOnlyFolder(root.empty() ? "/" : root, why)) return UniqueFd();
    UniqueFd folder(LinkSafeTree::OpenFolder(root.empty() ? "/" : root));
    if (!folder.valid()) {
        why = Reason(root);
        return UniqueFd();
    }
    std::string path = root;
    const char* const names[] = {"var", "lib", "kavex", "staging"};
    for (const char* name : names) {
        path += std::string("/") + name;
        const bool last = strcmp(name, "staging") == 0;
        folder = RootFolderAt(folder.get(), name, last ? 0700 : 0755, path, why);
        if (!folder.valid()) return folder;
    }
    if (fchmod(folder.get(), 0700) != 0) {
        why = Reason(staging);
        return UniqueFd();
    }
    return folder;
}

// Runs whose lock nobody holds any more: their starts were killed.
void RemoveAbandonedRuns(int staging) {
    std::vector<std::string> names;
    ScopedDir listing(staging);
    listing.Names(names);
    for (const std::string& name : names) {
        if (name == kLockName) continue;
        UniqueFd run(LinkSafeTree::OpenFolderAt(staging, name));
        if (run.valid() && flock(run.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a live run's
        std::string why;
        if (LinkSafeTree::RemoveAt(staging, name, why)) {
            MOQ_LOG("Removed the staging %s that an ended run left behind\n", name.c_str());
        } else {
            MOQ_LOG("Cannot remove the staging %s: %s\n", name.c_str(), why.c_str());
        }
    }
}

std::string RandomName() {
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
        for (size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<unsigned char>(rand());
    }
    static const char digits[] = "0123456789abcdef";
    std::string name = "run-";
    for (unsigned char byte : bytes) {
        name += digits[byte >> 4];
        name += digits[byte & 15];
    }
    return name;
}

bool MeasureAt(int folder, int depth, StagingArea::Size& size, std::string& label, std::string& why) {
    if (depth > StagingArea::kMaxDepth) {
        why = label + ": folders nested too deeply";
        return false;
    }
    std::vector<std::string> names;
    ScopedDir listing(folder);
    if (!listing.Names(names)) {
        why = Reason(label);
        return false;
    }
    for (const std::string& name : names) {
        const std::string path = label.empty() ? name : label + "/" + name;
        if (++size.entries > StagingArea::kMaxEntries) {
            why = "more than " + std::to_string(StagingArea::kMaxEntries) + " entries";
            return false;
        }
        struct stat st;
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            why = Reason(path);
            return false;
        }
        if (S_ISREG(st.st_mode)) {
            size.bytes += static_cast<uint64_t>(st.st_size) + 4096;
        } else if (S_ISDIR(st.st_mode)) {
            size.bytes += 4096;
            UniqueFd inner(LinkSafeTree::OpenFolderAt(folder, name));
            std::string innerLabel = path;
            if (!inner.valid()) {
                why = Reason(path);
                return false;
            }
            if (!MeasureAt(inner.get(), depth + 1, size, innerLabel, why)) return false;
        } else if (!S_ISLNK(st.st_mode)) {
            why = path + " is " + LinkSafeTree::SpecialKind(st.st_mode) + ": a bundle holds only files, folders and links";
            return false;
        }
    }
    return true;
}

// Hashes each copy while the next ones are made: the copy is the kernel's work, the hash the
// processor's, so the two overlap.
class Hasher {
public:
    explicit Hasher(std::map<std::string, BundleTree::KnownDigest>& digests) : mDigests(digests) {
        // Hashing is the slower half: one worker per processor, the copy (the kernel's) between them.
        const unsigned workers = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
        for (unsigned i = 0; i < workers; ++i) mThreads.emplace_back([this] { Work(); });
    }
    ~Hasher() { Finish(); }
    void Add(const std::string& path, UniqueFd fd) {
        std::lock_guard<std::mutex> guard(mLock);
        mQueue.emplace_back(path, std::move(fd));
        mReady.notify_one();
    }
    void Finish() {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mDone = true;
            mReady.notify_all();
        }
        for (std::thread& thread : mThreads) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    void Work() {
        for (;;) {
            std::pair<std::string, UniqueFd> next;
            {
                std::unique_lock<std::mutex> guard(mLock);
                mReady.wait(guard, [this] { return mDone || !mQueue.empty(); });
                if (mQueue.empty()) return;
                next = std::move(mQueue.front());
                mQueue.pop_front();
            }
            BundleTree::KnownDigest digest;
            // A copy that cannot be hashed here is simply read again by the verification.
            if (!BundleTree::DigestOf(next.second.get(), digest)) continue;
            std::lock_guard<std::mutex> guard(mLock);
            mDigests[next.first] = digest;
        }
    }
    std::map<std::string, BundleTree::KnownDigest>& mDigests;  // guarded by mLock until Finish
    std::mutex mLock;
    std::condition_variable mReady;
    std::deque<std::pair<std::string, UniqueFd> > mQueue;
    bool mDone = false;
    std::vector<std::thread> mThreads;
};

// Exactly the bytes the file held when it was opened: one that grows or shrinks meanwhile
// is being changed, and what is staged must be one consistent snapshot.
bool CopyFileAt(int from, const std::string& name, int to, const std::string& path, Hasher& hasher, std::string& why) {
    UniqueFd in(openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = in.valid() ? path + ": changed while it was staged" : Reason(path);
        return false;
    }
    UniqueFd out(openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        why = Reason(path);
        return false;
    }
    const SystemCalls& calls = SystemCalls::Current();
    uint64_t left = static_cast<uint64_t>(st.st_size);
    bool kernelCopy = true;
    std::vector<char> buffer;
    while (left > 0) {
        ssize_t n = -1;
        if (kernelCopy) {
            n = calls.copyFileRange(in.get(), nullptr, out.get(), nullptr, left > (1u << 30) ? (1u << 30) : left, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(1 << 20);
            n = calls.read(in.get(), buffer.data(), left < buffer.size() ? left : buffer.size());
            if (n > 0) {
                size_t done = 0;
                while (done < static_cast<size_t>(n)) {
                    const ssize_t w = calls.write(out.get(), buffer.data() + done, static_cast<size_t>(n) - done);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        why = Reason(path);
                        return false;
                    }
                    done += static_cast<size_t>(w);
                }
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = Reason(path);
            return false;
        }
        if (n == 0) break;
        left -= static_cast<uint64_t>(n);
    }
    struct stat after;
    char probe;
    if (left != 0 || fstat(in.get(), &after) != 0 || after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != st.st_mtim.tv_nsec || pread(in.get(), &probe, 1, st.st_size) != 0) {
        why = path + ": changed while it was staged";
        return false;
    }
    if (fchmod(out.get(), st.st_mode & 01777) != 0) {
        why = Reason(path);
        return false;
    }
    UniqueFd reading(openat(to, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (out.close() != 0) {
        why = Reason(path);
        return false;
    }
    if (reading.valid()) hasher.Add(path, std::move(reading));
    return true;
}

bool CopyFolderAt(int from, int to, int depth, size_t& entries, const std::string& label, Hasher& hasher,
                  std::string& why) {
    if (depth > StagingArea::kMaxDepth) {
        why = label + ": folders nested too deeply";
        return false;
    }
    std::vector<std::string> names;
    ScopedDir listing(from);
    if (!listing.Names(names)) {
        why = Reason(label.empty() ? "the bundle folder" : label);
        return false;
    }
    for (const std::string& name : names) {
        const std::string path = label.empty() ? name : label + "/" + name;
        if (++entries > StagingArea::kMaxEntries) {
            why = "more than " + std::to_string(StagingArea::kMaxEntries) + " entries";
            return false;
        }
        struct stat st;
        if (fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            why = Reason(path);
            return false;
        }
        if (S_ISREG(st.st_mode)) {
            if (!CopyFileAt(from, name, to, path, hasher, why)) return false;
        } else if (S_ISDIR(st.st_mode)) {
            UniqueFd source(LinkSafeTree::OpenFolderAt(from, name));
            struct stat opened;
            if (!source.valid() || fstat(source.get(), &opened) != 0 || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev) {
                why = source.valid() ? path + ": changed while it was staged" : Reason(path);
                return false;
            }
            if (mkdirat(to, name.c_str(), 0700) != 0) {
                why = Reason(path);
                return false;
            }
            UniqueFd target(LinkSafeTree::OpenFolderAt(to, name));
            if (!target.valid() || !CopyFolderAt(source.get(), target.get(), depth + 1, entries, path, hasher, why)) {
                if (why.empty()) why = Reason(path);
                return false;
            }
            // Folders keep their bits (set-group-id and sticky are harmless on root's own folders).
            if (fchmod(target.get(), opened.st_mode & 07777) != 0) {
                why = Reason(path);
                return false;
            }
        } else if (S_ISLNK(st.st_mode)) {
            std::vector<char> text(PATH_MAX + 1);
            const ssize_t n = readlinkat(from, name.c_str(), text.data(), text.size() - 1);
            if (n < 0 || static_cast<size_t>(n) >= text.size() - 1) {
                why = n < 0 ? Reason(path) : path + ": link target too long";
                return false;
            }
            text[static_cast<size_t>(n)] = '\0';
            if (symlinkat(text.data(), to, name.c_str()) != 0) {
                why = Reason(path);
                return false;
            }
        } else {
            why = path + " is " + LinkSafeTree::SpecialKind(st.st_mode) + ": a bundle holds only files, folders and links";
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<StagingArea> StagingArea::Create(std::string& why) {
    StagingArea area;
    area.mStaging = OpenStagingRoot(why);
    if (!area.mStaging.valid()) return std::nullopt;
    // Creation and the removal of abandoned runs take turns, so that a run folder is never
    // taken for abandoned between its making and its locking.
    UniqueFd lock(openat(area.mStaging.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    struct stat st;
    if (!lock.valid() || fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || flock(lock.get(), LOCK_EX) != 0) {
        why = Reason(MachineEntry::StagingRoot() + "/" + kLockName);
        return std::nullopt;
    }
    RemoveAbandonedRuns(area.mStaging.get());
    for (int attempt = 0; attempt < 16 && !area.mRun.valid(); ++attempt) {
        const std::string name = RandomName();
        if (mkdirat(area.mStaging.get(), name.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            why = Reason(MachineEntry::StagingRoot() + "/" + name);
            return std::nullopt;
        }
        area.mRunName = name;
        area.mRun = UniqueFd(LinkSafeTree::OpenFolderAt(area.mStaging.get(), name));
        if (!area.mRun.valid() || fchmod(area.mRun.get(), 0700) != 0 || flock(area.mRun.get(), LOCK_SH) != 0) {
            why = Reason(MachineEntry::StagingRoot() + "/" + name);
            return std::nullopt;  // the destructor removes it
        }
    }
    if (!area.mRun.valid()) {
        why = "no new staging folder can be named";
        return std::nullopt;
    }
    area.mRunPath = MachineEntry::StagingRoot() + "/" + area.mRunName;
    return area;
}

bool StagingArea::Measure(int bundleFd, Size& size, std::string& why) {
    std::string label;
    size = Size();
    return MeasureAt(bundleFd, 0, size, label, why);
}

std::string StagingArea::SnapshotFolder() const { return mRunPath + "/" + MachineEntry::kSnapshotName; }

bool StagingArea::CopyIn(int bundleFd, std::string& why) {
    if (mkdirat(mRun.get(), MachineEntry::kSnapshotName, 0700) != 0) {
        why = Reason(SnapshotFolder());
        return false;
    }
    UniqueFd snapshot(LinkSafeTree::OpenFolderAt(mRun.get(), MachineEntry::kSnapshotName));
    if (!snapshot.valid()) {
        why = Reason(SnapshotFolder());
        return false;
    }
    size_t entries = 0;
    mDigests.clear();
    Hasher hasher(mDigests);
    const bool copied = CopyFolderAt(bundleFd, snapshot.get(), 0, entries, std::string(), hasher, why);
    const int error = errno;
    hasher.Finish();
    errno = error;
    return copied;
}

bool StagingArea::RecordSource(const std::string& folder, std::string& why) {
    UniqueFd out(openat(mRun.get(), MachineEntry::kSourceRecordName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() || !FileContents::WriteAll(out.get(), folder) || out.close() != 0) {
        why = Reason(mRunPath + "/" + MachineEntry::kSourceRecordName);
        return false;
    }
    return true;
}

StagingArea::~StagingArea() {
    if (!mStaging.valid() || mRunName.empty()) return;
    std::string why;
    if (!LinkSafeTree::RemoveAt(mStaging.get(), mRunName, why)) {
        MOQ_LOG("Cannot remove the staging %s: %s\n", mRunPath.c_str(), why.c_str());
    }
}
