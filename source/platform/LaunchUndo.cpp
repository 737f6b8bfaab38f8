#include "LaunchUndo.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "AtomicFileWriter.h"
#include "Elevation.h"
#include "FileContents.h"
#include "MacUtils.h"
#include "RegularFile.h"
#include "ScopedDir.h"
#include "SystemCalls.h"
#include "TextFields.h"
#include "UniqueFd.h"

namespace {

const char* const kSuffix = ".undo";
const char* const kMagic = "kavex-undo 1";
const size_t kMaxJournal = 4 * 1024 * 1024;
const int kMaxDepth = 128;

std::string Reason(const std::string& what) { return what + ": " + strerror(errno); }

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return out;
}

bool Exists(int folder, const std::string& name) {
    struct stat st;
    return Sys().fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// One open descriptor per folder that entries name, and every one synced at the end.
class Folders {
public:
    int Get(const std::string& path) {
        std::unique_ptr<UniqueFd>& fd = mOpen[path];
        if (!fd || !fd->valid()) fd.reset(new UniqueFd(LinkSafeTree::OpenFolder(path)));  // errno tells why not
        return fd->get();
    }
    bool SyncAll(std::string& why) {
        bool ok = true;
        for (auto& entry : mOpen) {
            if (entry.second->valid() && Sys().fsync(entry.second->get()) != 0) {
                why = Reason(entry.first);
                ok = false;
            }
        }
        return ok;
    }

private:
    std::map<std::string, std::unique_ptr<UniqueFd> > mOpen;
};

// Safe to replay any number of times, from any point a crash left it at.
bool UndoEntries(const std::vector<StagedCopy::Entry>& entries, std::string& why) {
    Folders folders;
    bool ok = true;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const int folder = folders.Get(entry->folder);
        if (folder < 0) {
            // A folder removed since (its installation with it) holds nothing to take back.
            if (errno == ENOENT) continue;
            why = Reason(entry->folder);
            ok = false;
            continue;
        }
        std::string entryWhy;
        const bool staged = Exists(folder, entry->staged);
        const std::string aside = StagedCopy::AsideName(entry->staged);
        if (entry->replaces && Exists(folder, aside)) {
            // The name holds the new entry or nothing: the kept one goes back, over it in one
            // step where rename can (a file), else once the new folder is gone.
            const bool over = Sys().renameat(folder, aside.c_str(), folder, entry->name.c_str()) == 0;
            const bool replaceable = !over && (errno == EISDIR || errno == ENOTDIR || errno == ENOTEMPTY || errno == EEXIST);
            if (!over && (!replaceable || !LinkSafeTree::RemoveAt(folder, entry->name, entryWhy) ||
                          Sys().renameat(folder, aside.c_str(), folder, entry->name.c_str()) != 0)) {
                why = entry->folder + "/" + entry->name + ": " + (entryWhy.empty() ? Reason("rename") : entryWhy);
                ok = false;
                continue;
            }
        } else if (!entry->replaces && !staged && !LinkSafeTree::RemoveAt(folder, entry->name, entryWhy)) {
            why = entry->folder + "/" + entry->name + ": " + entryWhy;
            ok = false;
            continue;
        }
        if (staged && !LinkSafeTree::RemoveAt(folder, entry->staged, entryWhy)) {
            why = entry->folder + "/" + entry->staged + ": " + entryWhy;
            ok = false;
        }
    }
    return folders.SyncAll(why) && ok;
}

bool KeepEntries(const std::vector<StagedCopy::Entry>& entries, std::string& why) {
    Folders folders;
    bool ok = true;
    for (const StagedCopy::Entry& entry : entries) {
        const int folder = folders.Get(entry.folder);
        std::string entryWhy;
        if (folder < 0 && errno == ENOENT) continue;
        if (folder < 0 || !LinkSafeTree::RemoveAt(folder, StagedCopy::AsideName(entry.staged), entryWhy) ||
            !LinkSafeTree::RemoveAt(folder, entry.staged, entryWhy)) {
            why = entry.folder + "/" + entry.name + ": " + (entryWhy.empty() ? Reason("open folder") : entryWhy);
            ok = false;
        }
    }
    return folders.SyncAll(why) && ok;
}

// Names of the launch's own that no entry accounts for: staged before the journal listed them.
void SweepAt(int folder, const std::string& token, int depth) {
    std::vector<ScopedDir::Entry> children;
    ScopedDir listing(folder);
    listing.Entries(children);
    bool removed = false;
    for (const ScopedDir::Entry& child : children) {
        std::string why;
        if (StagedCopy::IsOwnName(child.name, token)) {
            removed = LinkSafeTree::RemoveAt(folder, child.name, why) || removed;
        } else if (child.type == DT_DIR && depth < kMaxDepth) {
            UniqueFd inner(LinkSafeTree::OpenFolderAt(folder, child.name));
            if (inner.valid()) SweepAt(inner.get(), token, depth + 1);
        }
    }
    if (removed) Sys().fsync(folder);
}

// A root that was not there yet was staged in its parent: that one is looked at, not walked.
void Sweep(const std::vector<std::string>& roots, const std::string& token) {
    for (const std::string& root : roots) {
        UniqueFd folder(LinkSafeTree::OpenFolder(root));
        if (folder.valid()) SweepAt(folder.get(), token, 0);
        const size_t slash = root.find_last_of('/');
        UniqueFd parent(slash == std::string::npos || slash == 0 ? -1 : LinkSafeTree::OpenFolder(root.substr(0, slash)));
        if (parent.valid()) SweepAt(parent.get(), token, kMaxDepth);
    }
}

bool RemoveJournal(const std::string& path, std::string& why) {
    if (Sys().unlinkat(AT_FDCWD, path.c_str(), 0) != 0 && errno != ENOENT) {
        why = Reason(path);
        return false;
    }
    const size_t slash = path.find_last_of('/');
    UniqueFd folder(LinkSafeTree::OpenFolder(path.substr(0, slash)));
    return folder.valid() && Sys().fsync(folder.get()) == 0;
}

// One folder below folder, made with mode when missing; never through a link, and only one
// that nobody but root can change: what a journal names, root renames and removes.
int FolderAt(int folder, const char* name, mode_t mode) {
    if (Sys().mkdirat(folder, name, mode) != 0 && errno != EEXIST) return -1;
    UniqueFd fd(LinkSafeTree::OpenFolderAt(folder, name));
    struct stat st;
    if (!fd.valid() || Sys().fstat(fd.get(), &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return -1;
    }
    return fd.release();
}

}  // namespace

LaunchUndo::LaunchUndo(const std::string& folder, const Journal& header)
    : mPath(folder + "/" + header.token + kSuffix), mJournal(header), mCopies(header.token) {}

LaunchUndo::~LaunchUndo() {
    std::string why;
    if (mBegun && (mState == kOpen || mState == kCommitted)) Undo(why);
}

bool LaunchUndo::Write(bool committed, std::string& why) {
    std::string text = std::string(kMagic) + "\n";
    text += "token\t" + Escaped(mJournal.token) + "\n";
    text += "code\t" + Escaped(mJournal.code) + "\n";
    text += "session\t" + Escaped(mJournal.session) + "\n";
    text += "setup\t" + Escaped(mJournal.setupFolder) + "\n";
    for (const std::string& root : mJournal.roots) text += "root\t" + Escaped(root) + "\n";
    if (committed) {
        for (const StagedCopy::Entry& entry : mCopies.Entries()) {
            text += std::string("entry\t") + (entry.replaces ? "1" : "0") + "\t" + Escaped(entry.folder) + "\t" +
                    Escaped(entry.name) + "\t" + Escaped(entry.staged) + "\n";
        }
        text += "committed\n";
    }
    return AtomicFileWriter::WriteWith(mPath, 0600, [&text](int fd) { return FileContents::WriteAll(fd, text); }, why);
}

bool LaunchUndo::Begin(std::string& why) {
    if (!Write(false, why)) return false;
    mBegun = true;
    return true;
}

bool LaunchUndo::Commit(std::string& why) {
    if (!mBegun || mState != kOpen) {
        why = "the copies were not staged";
        return false;
    }
    if (!Write(true, why)) return false;
    mState = kCommitted;
    Folders folders;
    for (const StagedCopy::Entry& entry : mCopies.Entries()) {
        const int folder = folders.Get(entry.folder);
        const std::string aside = StagedCopy::AsideName(entry.staged);
        if (folder < 0 ||
            (entry.replaces && Sys().renameat(folder, entry.name.c_str(), folder, aside.c_str()) != 0) ||
            Sys().renameat(folder, entry.staged.c_str(), folder, entry.name.c_str()) != 0) {
            why = Reason(entry.folder + "/" + entry.name + ": rename");
            return false;
        }
    }
    // Whatever the setup records as done must refer to copies that are on disk.
    return folders.SyncAll(why);
}

bool LaunchUndo::Undo(std::string& why) {
    if (!mBegun) {
        mCopies.Discard();
        mState = kUndone;
        return true;
    }
    Journal journal = mJournal;
    journal.committed = mState == kCommitted;
    journal.entries = mCopies.Entries();
    const bool done = Finish(mPath, journal, false, why);
    mState = done ? kUndone : kUndoIncomplete;
    return done;
}

bool LaunchUndo::Keep(std::string& why) {
    Journal journal = mJournal;
    journal.committed = true;
    journal.entries = mCopies.Entries();
    const bool done = Finish(mPath, journal, true, why);
    // The new copies are in place either way; a kept-aside entry left over goes at the next start.
    mState = kKept;
    return done;
}

bool LaunchUndo::Finish(const std::string& path, const Journal& journal, bool keep, std::string& why) {
    bool done;
    if (!journal.committed) {
        done = true;  // nothing was renamed: the staged names go with the sweep
    } else {
        done = keep ? KeepEntries(journal.entries, why) : UndoEntries(journal.entries, why);
    }
    if (!done) return false;
    Sweep(journal.roots, journal.token);
    AtomicFileWriter::RemoveStale(path);
    return RemoveJournal(path, why);
}

std::string LaunchUndo::JournalFolder() {
    std::string why;
    if (geteuid() != 0 || !Elevation::IsRootOnlyFolder(MacUtils::SystemRoot(), why)) return std::string();
    UniqueFd at(LinkSafeTree::OpenFolder(MacUtils::SystemRoot()));
    for (const char* name : {"var", "lib", "kavex"}) {
        if (!at.valid()) return std::string();
        at.reset(FolderAt(at.get(), name, 0755));
    }
    if (!at.valid()) return std::string();
    UniqueFd undo(FolderAt(at.get(), "undo", 0700));
    struct stat st;
    if (!undo.valid() || Sys().fstat(undo.get(), &st) != 0) return std::string();
    if ((st.st_mode & 07777) != 0700 && Sys().fchmod(undo.get(), 0700) != 0) return std::string();
    const std::string root = MacUtils::SystemRoot();
    return (root == "/" ? std::string() : root) + "/var/lib/kavex/undo";
}

std::string LaunchUndo::NewToken() {
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(rand());
    }
    std::string token = std::to_string(getpid()) + "-";
    static const char digits[] = "0123456789abcdef";
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

std::vector<std::string> LaunchUndo::Pending(const std::string& folder) {
    // A journal whose writer died before its rename never counted: only its temporary is left.
    AtomicFileWriter::RemoveStaleInFolder(folder);
    std::vector<std::string> journals;
    UniqueFd fd(LinkSafeTree::OpenFolder(folder));
    if (!fd.valid()) return journals;
    std::vector<std::string> names;
    ScopedDir listing(fd.get());
    listing.Names(names);
    const std::string suffix = kSuffix;
    for (const std::string& name : names) {
        if (name[0] != '.' && name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            journals.push_back(folder + "/" + name);
        }
    }
    std::sort(journals.begin(), journals.end());
    return journals;
}

bool LaunchUndo::Read(const std::string& path, Journal& journal, std::string& why) {
    std::string text;
    if (RegularFile::Read(path, RegularFile::kNoFinalLink, text, kMaxJournal) != RegularFile::kRead) {
        why = "cannot be read";
        return false;
    }
    journal = Journal();
    std::vector<std::string> lines = TextFields::Split(text, '\n');
    if (lines.empty() || lines[0] != kMagic) {
        why = "is not an undo journal";
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = TextFields::Split(lines[i], '\t');
        const std::string& key = fields[0];
        if (key == "committed" && fields.size() == 1) journal.committed = true;
        else if (key == "entry" && fields.size() == 5) {
            journal.entries.push_back(StagedCopy::Entry{Unescaped(fields[2]), Unescaped(fields[3]), Unescaped(fields[4]),
                                                        fields[1] == "1"});
        } else if (fields.size() == 2 && key == "token") journal.token = Unescaped(fields[1]);
        else if (fields.size() == 2 && key == "code") journal.code = Unescaped(fields[1]);
        else if (fields.size() == 2 && key == "session") journal.session = Unescaped(fields[1]);
        else if (fields.size() == 2 && key == "setup") journal.setupFolder = Unescaped(fields[1]);
        else if (fields.size() == 2 && key == "root") journal.roots.push_back(Unescaped(fields[1]));
        else if (!lines[i].empty()) {
            why = "holds a line it should not";
            return false;
        }
    }
    // Names that could reach outside the folders it lists are not ours.
    for (const StagedCopy::Entry& entry : journal.entries) {
        for (const std::string& name : {entry.name, entry.staged}) {
            if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
                why = "names an entry outside its folder";
                return false;
            }
        }
        if (!StagedCopy::IsOwnName(entry.staged, journal.token)) {
            why = "names a staged entry of another launch";
            return false;
        }
    }
    if (journal.token.empty() || journal.token.find('/') != std::string::npos) {
        why = "has no token";
        return false;
    }
    return true;
}
