#include "LinkSafeTree.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <vector>

#include "FileContents.h"
#include "MOQLogger.h"
#include "ScopedDir.h"
#include "StringUtils.h"
#include "SystemCalls.h"
#include "UniqueFd.h"

namespace {

// Deeper trees than this are refused rather than walked with one descriptor per level.
const int kMaxDepth = 128;

std::string Reason(const char* what) { return std::string(what) + ": " + strerror(errno); }

// What root's copies may carry over: never a set-id bit, whatever the bundle says
// (a bundle on a nosuid mount would otherwise become a set-uid program here).
mode_t CopiedMode(const struct stat& st) { return st.st_mode & 01777; }

// Every copy belongs to whoever copies (root's copies are root's): the bundle's owner,
// often the ordinary user who brought it, gets nothing beside the setup.
bool ApplyThroughFd(int fd, const struct stat& st, std::string& why) {
    if (Sys().fchown(fd, geteuid(), getegid()) != 0) {
        why = Reason("owner");
        return false;
    }
    if (Sys().fchmod(fd, CopiedMode(st)) != 0) {
        why = Reason("mode");
        return false;
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (Sys().futimens(fd, times) != 0) {
        why = Reason("times");
        return false;
    }
    return true;
}

// A link: by name, without following; it has no mode of its own (fchmodat would follow it).
bool ApplyToLink(int folder, const std::string& name, const struct stat& st, std::string& why) {
    if (Sys().fchownat(folder, name.c_str(), geteuid(), getegid(), AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("owner");
        return false;
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (Sys().utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("times");
        return false;
    }
    return true;
}

bool ApplyAt(int folder, const std::string& name, const struct stat& st, std::string& why) {
    struct stat target;
    if (Sys().fstatat(folder, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("attributes");
        return false;
    }
    if (S_ISREG(target.st_mode) || S_ISDIR(target.st_mode)) {
        UniqueFd fd(Sys().openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
        struct stat opened;
        if (!fd.valid() || Sys().fstat(fd.get(), &opened) != 0 || opened.st_ino != target.st_ino || opened.st_dev != target.st_dev) {
            why = Reason("attributes");
            return false;
        }
        return ApplyThroughFd(fd.get(), st, why);
    }
    if (S_ISLNK(target.st_mode)) return ApplyToLink(folder, name, st, why);
    why = "not a file, folder or link";
    return false;
}

bool IsCopiedKind(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode); }

bool CopyTreeAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName, int depth,
                std::string& why);

// *taken, when given, is set when the target name already existed (nothing was written).
bool CopyRegularAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName,
                   std::string& why, bool* taken = nullptr) {
    UniqueFd in(Sys().openat(sourceFolder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!in.valid()) {
        why = Reason("open");
        return false;
    }
    struct stat st;
    if (Sys().fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "changed while it was copied";
        return false;
    }
    // O_EXCL: a name that appeared meanwhile (a planted link) is never opened.
    UniqueFd out(Sys().openat(targetFolder, targetName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        if (taken != nullptr) *taken = errno == EEXIST;
        why = Reason("create");
        return false;
    }
    bool ok = FileContents::Copy(in.get(), out.get(), st.st_size);
    if (!ok) why = Reason("write");
    if (ok) ok = ApplyThroughFd(out.get(), st, why);
    if (out.close() != 0 && ok) {
        why = Reason("write");
        ok = false;
    }
    if (!ok) Sys().unlinkat(targetFolder, targetName.c_str(), 0);
    return ok;
}

bool CopyLinkAt(int sourceFolder, const std::string& name, const struct stat& st, int targetFolder,
                const std::string& targetName, std::string& why) {
    std::vector<char> text(PATH_MAX + 1);
    const ssize_t n = Sys().readlinkat(sourceFolder, name.c_str(), text.data(), text.size() - 1);
    if (n < 0) {
        why = Reason("read link");
        return false;
    }
    text[static_cast<size_t>(n)] = '\0';
    if (Sys().symlinkat(text.data(), targetFolder, targetName.c_str()) != 0) {
        why = Reason("create link");
        return false;
    }
    return ApplyAt(targetFolder, targetName, st, why);
}

bool CopyFolderAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName, int depth,
                  std::string& why) {
    if (depth > kMaxDepth) {
        why = "folders nested too deeply";
        return false;
    }
    UniqueFd from(LinkSafeTree::OpenFolderAt(sourceFolder, name));
    struct stat st;
    if (!from.valid() || Sys().fstat(from.get(), &st) != 0) {
        why = Reason("open folder");
        return false;
    }
    if (Sys().mkdirat(targetFolder, targetName.c_str(), 0700) != 0) {
        why = Reason("create folder");
        return false;
    }
    UniqueFd to(LinkSafeTree::OpenFolderAt(targetFolder, targetName));
    if (!to.valid()) {
        why = Reason("open folder");
        return false;
    }
    std::vector<ScopedDir::Entry> entries;
    ScopedDir listing(from.get());
    bool ok = listing.Entries(entries);
    if (!ok) why = Reason("list folder");
    for (const ScopedDir::Entry& child : entries) {
        std::string childWhy;
        bool copied;
        // The listing's type spares a stat; the copy checks what it opened (O_NOFOLLOW, fstat).
        if (child.type == DT_REG) {
            copied = CopyRegularAt(from.get(), child.name, to.get(), child.name, childWhy);
        } else if (child.type == DT_DIR) {
            copied = CopyFolderAt(from.get(), child.name, to.get(), child.name, depth + 1, childWhy);
        } else {
            struct stat entry;
            if (Sys().fstatat(from.get(), child.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && !IsCopiedKind(entry.st_mode)) {
                MOQ_LOG("Not copied: %s/%s is %s\n", name.c_str(), child.name.c_str(), LinkSafeTree::SpecialKind(entry.st_mode));
                continue;
            }
            copied = CopyTreeAt(from.get(), child.name, to.get(), child.name, depth + 1, childWhy);
        }
        if (!copied) {
            if (ok) why = child.name + ": " + childWhy;
            ok = false;
        }
    }
    std::string attributesWhy;
    if (!ApplyThroughFd(to.get(), st, attributesWhy) && ok) {
        why = attributesWhy;
        ok = false;
    }
    return ok;
}

bool CopyTreeAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName, int depth,
                std::string& why) {
    struct stat st;
    if (Sys().fstatat(sourceFolder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("read");
        return false;
    }
    if (S_ISREG(st.st_mode)) return CopyRegularAt(sourceFolder, name, targetFolder, targetName, why);
    if (S_ISLNK(st.st_mode)) return CopyLinkAt(sourceFolder, name, st, targetFolder, targetName, why);
    if (S_ISDIR(st.st_mode)) return CopyFolderAt(sourceFolder, name, targetFolder, targetName, depth, why);
    // Devices, FIFOs and sockets are never made by root's copies.
    why = std::string("is ") + LinkSafeTree::SpecialKind(st.st_mode) + ", not copied";
    return false;
}

bool RemoveTreeAt(int folder, const std::string& name, int depth, std::string& why) {
    struct stat st;
    if (Sys().fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        why = Reason("remove");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (Sys().unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT) return true;
        why = Reason("remove");
        return false;
    }
    if (depth > kMaxDepth) {
        why = "folders nested too deeply";
        return false;
    }
    UniqueFd inner(LinkSafeTree::OpenFolderAt(folder, name));
    if (inner.valid()) {
        std::vector<std::string> names;
        ScopedDir listing(inner.get());
        listing.Names(names);
        for (const std::string& child : names) RemoveTreeAt(inner.get(), child, depth + 1, why);
    }
    if (Sys().unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    why = Reason("remove folder");
    return false;
}

bool EndsWithSuffix(const std::string& name, const std::string& suffix) {
    // A file named just like the suffix is not one of its kind.
    return suffix.empty() || (name.size() > suffix.size() && StringUtils::EndsWith(name, suffix));
}

// The folder that receives a source folder: created 0755 when missing, and a link or
// file in its place is removed first, so that nothing is written through it.
int TargetFolderAt(int folder, const std::string& name, std::string& why) {
    struct stat st;
    if (Sys().fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        if (!RemoveTreeAt(folder, name, 0, why)) return -1;
    }
    if (Sys().mkdirat(folder, name.c_str(), 0755) == 0) {
        UniqueFd created(LinkSafeTree::OpenFolderAt(folder, name));
        if (!created.valid() || Sys().fchmod(created.get(), 0755) != 0) {
            why = Reason("create folder");
            return -1;
        }
        return created.release();
    }
    if (errno != EEXIST) {
        why = Reason("create folder");
        return -1;
    }
    const int fd = LinkSafeTree::OpenFolderAt(folder, name);
    if (fd < 0) why = Reason("open folder");
    return fd;
}

void CopyChildrenAt(int sourceFolder, int targetFolder, const std::string& suffix, const std::string& label, int depth,
                    LinkSafeTree::Outcome& outcome) {
    std::vector<ScopedDir::Entry> entries;
    ScopedDir listing(sourceFolder);
    if (!listing.Entries(entries)) outcome.failures.push_back(label + ": " + Reason("list folder"));
    for (const ScopedDir::Entry& entry : entries) {
        const std::string& name = entry.name;
        const std::string path = label + "/" + name;
        std::string why;
        // The listing's type spares a stat: a folder is opened O_DIRECTORY | O_NOFOLLOW, and a
        // file taken for a new name is checked through its descriptor. Anything else is looked at.
        const bool matches = EndsWithSuffix(name, suffix);
        if (entry.type == DT_REG && !matches) continue;
        if (entry.type == DT_REG) {
            bool taken = false;
            if (CopyRegularAt(sourceFolder, name, targetFolder, name, why, &taken)) {
                ++outcome.copied;
                continue;
            }
            if (!taken) {
                outcome.failures.push_back(path + ": " + why);
                continue;
            }
            why.clear();  // an existing target: replaced (or kept when the same) below
        }
        struct stat st = {};
        if (entry.type == DT_DIR) {
            st.st_mode = S_IFDIR;
        } else if (Sys().fstatat(sourceFolder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            outcome.failures.push_back(path + ": " + Reason("read"));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxDepth) {
                outcome.failures.push_back(path + ": folders nested too deeply");
                continue;
            }
            UniqueFd from(LinkSafeTree::OpenFolderAt(sourceFolder, name));
            if (!from.valid()) {
                outcome.failures.push_back(path + ": " + Reason("open folder"));
                continue;
            }
            UniqueFd to(TargetFolderAt(targetFolder, name, why));
            if (!to.valid()) {
                outcome.failures.push_back(path + ": " + why);
                continue;
            }
            CopyChildrenAt(from.get(), to.get(), suffix, path, depth + 1, outcome);
        } else if (matches) {
            if (!IsCopiedKind(st.st_mode)) {
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
            bool skipped = false;
            if (!LinkSafeTree::CopyEntryAt(sourceFolder, name, targetFolder, name, true, true, why, &skipped)) {
                outcome.failures.push_back(path + ": " + why);
            } else if (skipped) {
                ++outcome.skipped;
            } else {
                ++outcome.copied;
            }
        }
    }
}

}  // namespace

namespace LinkSafeTree {

int OpenFolder(const std::string& path) {
    return Sys().openat(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
}

int OpenFolderAt(int folderFd, const std::string& name) {
    return Sys().openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
}

bool RemoveAt(int folderFd, const std::string& name, std::string& why) { return RemoveTreeAt(folderFd, name, 0, why); }

bool CopyEntryAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName,
                 bool keepTargetAttributes, bool skipSame, std::string& why, bool* skipped) {
    if (skipped != nullptr) *skipped = false;
    struct stat source, existing, restore;
    if (Sys().fstatat(sourceFolder, name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) {
        why = Reason("read");
        return false;
    }
    bool haveRestore = false;
    if (Sys().fstatat(targetFolder, targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (skipSame && S_ISREG(source.st_mode) && S_ISREG(existing.st_mode) && source.st_size == existing.st_size &&
            source.st_mtim.tv_sec == existing.st_mtim.tv_sec && source.st_mtim.tv_nsec == existing.st_mtim.tv_nsec) {
            if (skipped != nullptr) *skipped = true;
            return true;
        }
        // A link's own attributes say nothing about what belongs here.
        restore = keepTargetAttributes && !S_ISLNK(existing.st_mode) ? existing : source;
        haveRestore = true;
        if (!RemoveTreeAt(targetFolder, targetName, 0, why)) return false;
    }
    if (!CopyTreeAt(sourceFolder, name, targetFolder, targetName, 0, why)) return false;
    return !haveRestore || ApplyAt(targetFolder, targetName, restore, why);
}

bool ApplyAttributesAt(int folder, const std::string& name, const struct stat& st, std::string& why) {
    return ApplyAt(folder, name, st, why);
}

void CopyChildren(int sourceFolder, int targetFolder, const std::string& suffix, const std::string& label,
                  Outcome& outcome) {
    CopyChildrenAt(sourceFolder, targetFolder, suffix, label, 0, outcome);
}

const char* SpecialKind(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file, folder or link";
}

}  // namespace LinkSafeTree
