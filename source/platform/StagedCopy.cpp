#include "StagedCopy.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "MOQLogger.h"
#include "ScopedDir.h"
#include "StringUtils.h"
#include "SystemCalls.h"
#include "LinkSafeTree.h"
#include "UniqueFd.h"

const char* const StagedCopy::kNewPrefix = ".kavex-new.";
const char* const StagedCopy::kOldPrefix = ".kavex-old.";

namespace {

const int kMaxDepth = 128;

std::string Reason(const char* what) { return std::string(what) + ": " + strerror(errno); }

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Matches(const std::string& name, const std::string& suffix) {
    return suffix.empty() || (name.size() > suffix.size() && StringUtils::EndsWith(name, suffix));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// A regular file's bytes on disk before anything refers to it (a link needs nothing: its
// folder is synced).
bool SyncAt(int folder, const std::string& name, std::string& why) {
    struct stat st;
    if (Sys().fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("sync");
        return false;
    }
    if (!S_ISREG(st.st_mode)) return true;
    UniqueFd fd(Sys().openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!fd.valid() || Sys().fsync(fd.get()) != 0) {
        why = Reason("sync");
        return false;
    }
    return true;
}

}  // namespace

std::string StagedCopy::AsideName(const std::string& staged) {
    return kOldPrefix + staged.substr(strlen(kNewPrefix));
}

bool StagedCopy::IsOwnName(const std::string& name, const std::string& token) {
    return name.rfind(kNewPrefix + token + ".", 0) == 0 || name.rfind(kOldPrefix + token + ".", 0) == 0;
}

int StagedCopy::StageFolder(int folder, const std::string& path, const std::string& name, bool replaces,
                            std::string& why) {
    const std::string staged = NextName();
    if (Sys().mkdirat(folder, staged.c_str(), 0700) != 0) {
        why = Reason("create folder");
        return -1;
    }
    mEntries.push_back(Entry{path, name, staged, replaces});
    UniqueFd created(LinkSafeTree::OpenFolderAt(folder, staged));
    if (!created.valid() || Sys().fchmod(created.get(), 0755) != 0) {
        why = Reason("create folder");
        return -1;
    }
    return created.release();
}

// The folder at path, to write in: *direct when it is new (inside a staged folder, so that
// nothing in it needs staging of its own). Missing folders are staged, the first one whole.
int StagedCopy::OpenTarget(const std::string& path, bool& direct, std::string& why) {
    direct = false;
    const int fd = LinkSafeTree::OpenFolder(path);
    if (fd >= 0 || errno != ENOENT) {
        if (fd < 0) why = Reason("not a folder of its own");
        return fd;
    }
    direct = true;
    const std::string parentPath = ParentOf(path), name = NameOf(path);
    for (const Entry& entry : mEntries) {
        if (entry.folder == parentPath && entry.name == name) {
            UniqueFd parent(LinkSafeTree::OpenFolder(parentPath));
            const int staged = parent.valid() ? LinkSafeTree::OpenFolderAt(parent.get(), entry.staged) : -1;
            if (staged < 0) why = Reason("open folder");
            return staged;
        }
    }
    if (parentPath == path || name.empty() || name == "." || name == "..") {
        why = "cannot be created";
        return -1;
    }
    bool parentDirect = false;
    UniqueFd parent(OpenTarget(parentPath, parentDirect, why));
    if (!parent.valid()) return -1;
    if (!parentDirect) return StageFolder(parent.get(), parentPath, name, false, why);
    if (Sys().mkdirat(parent.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
        why = Reason("create folder");
        return -1;
    }
    UniqueFd made(LinkSafeTree::OpenFolderAt(parent.get(), name));
    if (!made.valid() || Sys().fchmod(made.get(), 0755) != 0) {
        why = Reason("create folder");
        return -1;
    }
    return made.release();
}

// A file or link under a staged name beside folder/name, synced.
bool StagedCopy::StageEntry(int sourceFolder, const std::string& name, int folder, const std::string& path,
                            bool keepTargetAttributes, bool skipSame, bool& skipped, std::string& why) {
    skipped = false;
    struct stat source, existing;
    if (Sys().fstatat(sourceFolder, name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("read");
        return false;
    }
    const bool exists = Sys().fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && skipSame && SameFile(source, existing)) {
        skipped = true;
        return true;
    }
    const std::string staged = NextName();
    if (!LinkSafeTree::CopyEntryAt(sourceFolder, name, folder, staged, false, false, why)) {
        LinkSafeTree::RemoveAt(folder, staged, why);
        return false;
    }
    mEntries.push_back(Entry{path, name, staged, exists});
    // A link's own attributes say nothing about what belongs here.
    if (exists && keepTargetAttributes && !S_ISLNK(existing.st_mode) && !S_ISLNK(source.st_mode) &&
        !LinkSafeTree::ApplyAttributesAt(folder, staged, existing, why)) {
        return false;
    }
    return SyncAt(folder, staged, why);
}

void StagedCopy::Walk(int source, int target, const std::string& targetPath, bool direct, const std::string& suffix,
                      const std::string& label, int depth, LinkSafeTree::Outcome& outcome) {
    std::vector<ScopedDir::Entry> entries;
    ScopedDir listing(source);
    if (!listing.Entries(entries)) outcome.failures.push_back(label + ": " + Reason("list folder"));
    for (const ScopedDir::Entry& entry : entries) {
        const std::string& name = entry.name;
        const std::string path = label + "/" + name;
        const bool matches = Matches(name, suffix);
        if (entry.type == DT_REG && !matches) continue;
        std::string why;
        struct stat st;
        if (Sys().fstatat(source, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            outcome.failures.push_back(path + ": " + Reason("read"));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxDepth) {
                outcome.failures.push_back(path + ": folders nested too deeply");
                continue;
            }
            UniqueFd from(LinkSafeTree::OpenFolderAt(source, name));
            if (!from.valid()) {
                outcome.failures.push_back(path + ": " + Reason("open folder"));
                continue;
            }
            struct stat there;
            const bool exists = Sys().fstatat(target, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
            UniqueFd to;
            bool inside = direct;
            if (exists && S_ISDIR(there.st_mode)) {
                to.reset(LinkSafeTree::OpenFolderAt(target, name));
            } else if (direct) {
                if (exists) LinkSafeTree::RemoveAt(target, name, why);
                if (Sys().mkdirat(target, name.c_str(), 0755) == 0) to.reset(LinkSafeTree::OpenFolderAt(target, name));
                if (to.valid() && Sys().fchmod(to.get(), 0755) != 0) to.reset();
            } else {
                // Not there, or a file or link where a folder goes: the new folder is staged whole.
                bool pending = false;
                for (const Entry& staged : mEntries) {
                    if (staged.folder == targetPath && staged.name == name) {
                        to.reset(LinkSafeTree::OpenFolderAt(target, staged.staged));
                        pending = true;
                    }
                }
                if (!pending) to.reset(StageFolder(target, targetPath, name, exists, why));
                inside = true;
            }
            if (!to.valid()) {
                outcome.failures.push_back(path + ": " + (why.empty() ? Reason("create folder") : why));
                continue;
            }
            Walk(from.get(), to.get(), targetPath + "/" + name, inside, suffix, path, depth + 1, outcome);
            continue;
        }
        if (!matches) continue;
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            const std::string what = path + " is " + LinkSafeTree::SpecialKind(st.st_mode);
            // A file the copy was asked for by name is missing beside the setup: that fails it.
            if (suffix.empty()) {
                MOQ_LOG("Not copied: %s\n", what.c_str());
                outcome.notCopied.push_back(what);
            } else {
                outcome.failures.push_back(what + ", not copied");
            }
            continue;
        }
        bool ok, skipped = false;
        if (direct) {
            ok = LinkSafeTree::CopyEntryAt(source, name, target, name, true, false, why) && SyncAt(target, name, why);
        } else {
            ok = StageEntry(source, name, target, targetPath, true, true, skipped, why);
        }
        if (!ok) {
            outcome.failures.push_back(path + ": " + why);
        } else if (skipped) {
            ++outcome.skipped;
        } else {
            ++outcome.copied;
        }
    }
    // What a new folder holds is named on disk before the folder itself is renamed into place.
    if (direct && Sys().fsync(target) != 0) outcome.failures.push_back(label + ": " + Reason("sync"));
}

bool StagedCopy::CopyChildren(const std::string& sourceFolder, const std::string& targetFolder,
                              const std::string& suffix, LinkSafeTree::Outcome& outcome) {
    struct stat st;
    if (Sys().fstatat(AT_FDCWD, sourceFolder.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return true;
    UniqueFd source(LinkSafeTree::OpenFolder(sourceFolder));
    if (!source.valid()) {
        outcome.failures.push_back(sourceFolder + ": not a folder of its own (" + strerror(errno) + ")");
        return false;
    }
    bool direct = false;
    std::string why;
    UniqueFd target(OpenTarget(targetFolder, direct, why));
    if (!target.valid()) {
        outcome.failures.push_back(targetFolder + ": " + why);
        return false;
    }
    Walk(source.get(), target.get(), targetFolder, direct, suffix, sourceFolder, 0, outcome);
    return outcome.failures.empty();
}

bool StagedCopy::CopyFile(const std::string& source, const std::string& targetFolder, bool keepTargetAttributes,
                          std::string& why) {
    const std::string name = NameOf(source);
    UniqueFd from(Sys().openat(AT_FDCWD, ParentOf(source).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!from.valid()) {
        why = Reason("open folder");
        return false;
    }
    bool direct = false;
    UniqueFd target(OpenTarget(targetFolder, direct, why));
    if (!target.valid()) return false;
    if (direct) {
        return LinkSafeTree::CopyEntryAt(from.get(), name, target.get(), name, keepTargetAttributes, false, why) &&
               SyncAt(target.get(), name, why) && Sys().fsync(target.get()) == 0;
    }
    bool skipped = false;
    return StageEntry(from.get(), name, target.get(), targetFolder, keepTargetAttributes, false, skipped, why);
}

void StagedCopy::Discard() {
    for (auto entry = mEntries.rbegin(); entry != mEntries.rend(); ++entry) {
        UniqueFd folder(LinkSafeTree::OpenFolder(entry->folder));
        std::string why;
        if (folder.valid()) LinkSafeTree::RemoveAt(folder.get(), entry->staged, why);
    }
    mEntries.clear();
}
