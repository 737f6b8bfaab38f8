#include "AtomicFileWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "FileContents.h"
#include "ProcessStamp.h"
#include "ScopedDir.h"
#include "SystemCalls.h"
#include "UniqueFd.h"

namespace {

std::string RandomSuffix() {
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(rand());
    }
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (unsigned char byte : bytes) suffix += digits[byte % 36];
    return suffix;
}

// ".<name>.kavex-tmp.<pid>-<start time>-": the next writer of name knows whose it is.
std::string TemporaryPrefix(const std::string& name) { return "." + name + ".kavex-tmp."; }

std::string OwnStamp() {
    static const std::string stamp = [] {
        std::string own = ProcessStamp::Of(getpid());
        for (char& c : own) c = c == ' ' ? '-' : c;
        return own;
    }();
    return stamp;
}

// Those of name, or of every name when name is empty.
void RemoveStaleIn(int folder, const std::string& name) {
    const std::string marker = ".kavex-tmp.";
    const std::string prefix = name.empty() ? std::string() : TemporaryPrefix(name);
    std::vector<std::string> names;
    ScopedDir listing(folder);
    listing.Names(names);
    for (const std::string& entry : names) {
        const size_t at = entry.rfind(marker);
        if (entry[0] != '.' || at == std::string::npos || (!prefix.empty() && entry.compare(0, prefix.size(), prefix) != 0)) continue;
        // "<pid>-<start>-<random>": a live writer's file is its own.
        std::string owner = entry.substr(at + marker.size());
        const size_t last = owner.find_last_of('-');
        if (last == std::string::npos) continue;
        owner.resize(last);
        const size_t dash = owner.find('-');
        if (dash != std::string::npos) owner[dash] = ' ';
        if (!ProcessStamp::Runs(owner)) Sys().unlinkat(folder, entry.c_str(), 0);
    }
}

// A regular file, or nothing yet, may be replaced; a link or anything else is not ours to replace.
bool MayReplace(int folder, const std::string& name, std::string& why) {
    struct stat st;
    if (Sys().fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        why = std::string("cannot be examined: ") + strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    why = S_ISLNK(st.st_mode) ? "is a link" : "is not a regular file";
    return false;
}

}  // namespace

namespace AtomicFileWriter {

bool Write(const std::string& path, const std::string& contents, std::string& why) {
    return WriteWith(path, 0644, [&contents](int fd) { return FileContents::WriteAll(fd, contents); }, why);
}

bool WriteWith(const std::string& path, mode_t mode, const std::function<bool(int fd)>& fill, std::string& why) {
    const size_t slash = path.find_last_of('/');
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        why = "names no file";
        return false;
    }
    UniqueFd folder(Sys().openat(AT_FDCWD, folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!folder.valid()) {
        why = std::string("its folder cannot be opened: ") + strerror(errno);
        return false;
    }
    if (!MayReplace(folder.get(), name, why)) return false;
    RemoveStaleIn(folder.get(), name);
    std::string temporary;
    UniqueFd out;
    for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
        temporary = TemporaryPrefix(name) + OwnStamp() + "-" + RandomSuffix();
        out.reset(Sys().openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!out.valid() && errno != EEXIST) break;
    }
    if (!out.valid()) {
        why = std::string("no temporary file can be made beside it: ") + strerror(errno);
        return false;
    }
    bool ok = Sys().fchmod(out.get(), mode) == 0 && fill(out.get()) && Sys().fsync(out.get()) == 0;
    ok = out.close() == 0 && ok;
    // Checked again just before: rename replaces a link planted meanwhile, but it was refused before.
    ok = ok && MayReplace(folder.get(), name, why);
    if (ok && SystemCalls::Current().renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
        why = std::string("cannot be renamed into place: ") + strerror(errno);
        ok = false;
    }
    if (!ok) {
        if (why.empty()) why = "cannot be written";
        Sys().unlinkat(folder.get(), temporary.c_str(), 0);
        return false;
    }
    SystemCalls::Current().fsync(folder.get());
    return true;
}

void RemoveStale(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd folder(Sys().openat(AT_FDCWD, folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folder.valid()) RemoveStaleIn(folder.get(), slash == std::string::npos ? path : path.substr(slash + 1));
}

void RemoveStaleInFolder(const std::string& folderPath) {
    UniqueFd folder(Sys().openat(AT_FDCWD, folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folder.valid()) RemoveStaleIn(folder.get(), std::string());
}

bool WriteAsUser(const std::string& path, const std::string& contents, uid_t uid, gid_t gid, std::string& why) {
    // The user's groups are looked up before the fork: the child only changes identity and writes.
    std::vector<gid_t> groups(64);
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    int count = 0;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        count = static_cast<int>(groups.size());
        if (getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
            groups.resize(static_cast<size_t>(count));
            if (getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) count = 0;
        }
    }
    if (count <= 0) {
        groups.assign(1, gid);
        count = 1;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = std::string("cannot be handed to the user's rights: ") + strerror(errno);
        return false;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid < 0) {
        why = std::string("cannot be handed to the user's rights: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        readEnd.reset();
        std::string childWhy = "cannot take the user's rights";
        bool ok = setgroups(static_cast<size_t>(count), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
                  setresuid(uid, uid, uid) == 0;
        if (ok) ok = Write(path, contents, childWhy);
        if (!ok) FileContents::WriteAll(writeEnd.get(), childWhy);
        _exit(ok ? 0 : 1);
    }
    writeEnd.reset();
    std::string answer;
    char chunk[512];
    for (ssize_t n; (n = read(readEnd.get(), chunk, sizeof(chunk))) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || answer.size() > 4096) break;
        answer.append(chunk, static_cast<size_t>(n));
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    why = answer.empty() ? "cannot be written with the user's rights" : answer + " (with the user's rights)";
    return false;
}

}  // namespace AtomicFileWriter
