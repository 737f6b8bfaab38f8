#include "Elevation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>

#include <algorithm>
#include <iostream>

#include "FileContents.h"
#include "MOQLogger.h"
#include "MacUtils.h"
#include "PreferredLanguage.h"
#include "UniqueFd.h"

namespace Elevation {

// The machine root, the update manager's stand-in, the pkexec stand-in.
const char* const kRedirectingVariables[] = {"KAVEX_SYSTEM_ROOT", "KAVEX_UPDATER_CLIENT", "KAVEX_UPDATER_RESULTS",
                                             "KAVEX_PKEXEC", nullptr};

namespace {

const char* const kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
const size_t kMaxAuthorityBytes = 64 * 1024;

bool ParseId(const char* text, unsigned& id) {
    if (text == nullptr || *text == '\0' || strlen(text) > 10) return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    const unsigned long value = strtoul(text, nullptr, 10);
    if (value > 0xFFFFFFFEul) return false;
    id = static_cast<unsigned>(value);
    return true;
}

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAlnum(char c) { return IsAlpha(c) || (c >= '0' && c <= '9'); }

// "de", "de_DE", "zh_Hant", "pt-BR"; encoding and modifier already gone.
bool IsLanguageCode(const std::string& code) {
    size_t i = 0;
    while (i < code.size() && IsAlpha(code[i])) ++i;
    if (i < 2 || i > 3) return false;
    if (i == code.size()) return true;
    if (code[i] != '_' && code[i] != '-') return false;
    const size_t region = code.size() - i - 1;
    if (region < 2 || region > 4) return false;
    for (++i; i < code.size(); ++i) {
        if (!IsAlnum(code[i])) return false;
    }
    return true;
}

// A local X display, ":0" or ":1.0": nothing that names a host or a path.
bool IsLocalDisplay(const std::string& display) {
    if (display.size() < 2 || display.size() > 16 || display[0] != ':') return false;
    bool dot = false;
    for (size_t i = 1; i < display.size(); ++i) {
        if (display[i] == '.' && !dot && i > 1 && i + 1 < display.size()) {
            dot = true;
        } else if (display[i] < '0' || display[i] > '9') {
            return false;
        }
    }
    return true;
}

std::string ArgumentValue(const std::string& argument, const char* key) {
    const std::string prefix = std::string("--") + key + "=";
    return argument.compare(0, prefix.size(), prefix) == 0 ? argument.substr(prefix.size()) : std::string();
}

bool HasKey(const std::string& argument, const char* key) {
    const std::string prefix = std::string("--") + key + "=";
    return argument.compare(0, prefix.size(), prefix) == 0;
}

// Root's own copy of the user's X authority file, removed when the process ends.
struct AuthorityCopy {
    std::string path;
    ~AuthorityCopy() {
        if (!path.empty()) unlink(path.c_str());
    }
};
AuthorityCopy gAuthorityCopy;

// The user's authority file, read as a file that the user owns (a link, a FIFO or someone
// else's file is refused), into a file that only root can read; X opens that one.
bool CopyAuthority(const std::string& path, uid_t owner, std::string& copy, std::string& why) {
    if (path.empty() || path[0] != '/') {
        why = "not an absolute path";
        return false;
    }
    UniqueFd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0) {
        why = std::string("cannot be opened: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != owner || st.st_size > static_cast<off_t>(kMaxAuthorityBytes)) {
        why = "not a regular file of the user's own within 64 KiB";
        return false;
    }
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(in.get(), &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    char name[] = "/tmp/kavex-xauthority-XXXXXX";
    UniqueFd out(mkostemp(name, O_CLOEXEC));
    if (!out.valid()) {
        why = std::string("no private copy can be made: ") + strerror(errno);
        return false;
    }
    if (fchmod(out.get(), 0600) != 0 || !FileContents::WriteAll(out.get(), bytes) || out.close() != 0) {
        unlink(name);
        why = "no private copy can be written";
        return false;
    }
    copy = name;
    return true;
}

void Drop(const char* name, const char* why) {
    if (getenv(name) == nullptr) return;
    MOQ_LOG("Ignoring %s: %s\n", name, why);
    // Only the machine root changes what a run acts on: an administrator must hear that it was ignored.
    if (strcmp(name, "KAVEX_SYSTEM_ROOT") == 0) std::cerr << "Update: ignoring " << name << ": " << why << std::endl;
    unsetenv(name);
}

// Language variables that are not plain codes could name paths (gettext, GTK and this
// program look files up by them).
void KeepOnlyPlainLanguages() {
    for (const char* name : kLanguageVariables) {
        const char* value = getenv(name);
        if (value == nullptr || *value == '\0') continue;
        const std::string text(value);
        bool plain = text.find("..") == std::string::npos;
        for (char c : text) {
            if (!(IsAlnum(c) || c == '_' || c == '-' || c == '.' || c == '@' || c == ':')) plain = false;
        }
        if (!plain) Drop(name, "not a plain language code");
    }
}

// Through pkexec: the arguments the relaunch passes, each checked; the rest dropped.
std::vector<std::string> FilterPkexecArguments(const std::vector<std::string>& args, const Origin& origin) {
    std::vector<std::string> kept;
    if (!args.empty()) kept.push_back(args[0]);
    bool modeSeen = false, displaySeen = false, authoritySeen = false, languageSeen = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (argument == "-norespawn") {
            kept.push_back(argument);
        } else if (HasKey(argument, "mode") && !modeSeen) {
            modeSeen = true;
            kept.push_back(argument);
        } else if (HasKey(argument, "display") && !displaySeen) {
            displaySeen = true;
            const std::string display = ArgumentValue(argument, "display");
            if (IsLocalDisplay(display)) {
                setenv("DISPLAY", display.c_str(), 1);
            } else {
                MOQ_LOG("Ignoring the display \"%s\": not a local display\n", display.c_str());
            }
        } else if (HasKey(argument, "xauthority") && !authoritySeen) {
            authoritySeen = true;
            std::string copy, why;
            if (CopyAuthority(ArgumentValue(argument, "xauthority"), origin.uid, copy, why)) {
                gAuthorityCopy.path = copy;
                setenv("XAUTHORITY", copy.c_str(), 1);
            } else {
                MOQ_LOG("Ignoring the X authority file: %s\n", why.c_str());
            }
        } else if (HasKey(argument, "language") && !languageSeen) {
            languageSeen = true;
            const std::string list = SafeLanguageList(ArgumentValue(argument, "language"));
            for (const char* name : kLanguageVariables) unsetenv(name);
            if (!list.empty()) setenv("LANGUAGE", list.c_str(), 1);
            setenv("LANG", "C.UTF-8", 1);
        } else {
            MOQ_LOG("Ignoring the argument \"%s\": it does not cross into the administrator's copy\n", argument.c_str());
        }
    }
    return kept;
}

}  // namespace

Origin CurrentOrigin() {
    Origin origin;
    if (geteuid() != 0) return origin;
    unsigned id = 0;
    if (ParseId(getenv("PKEXEC_UID"), id)) {
        origin.via = Via::kPkexec;
    } else if (ParseId(getenv("SUDO_UID"), id)) {
        origin.via = Via::kSudo;
    } else if (getuid() != 0) {
        // A set-uid start: the real user chose everything.
        origin.via = Via::kSudo;
        id = getuid();
    } else {
        return origin;
    }
    origin.uid = static_cast<uid_t>(id);
    struct passwd entry, *found = nullptr;
    char buffer[16384];
    origin.gid = getpwuid_r(origin.uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr
                     ? found->pw_gid
                     : static_cast<gid_t>(origin.uid);
    return origin;
}

bool IsRootOnlyFolder(const std::string& path, std::string& why) {
    if (path.empty() || path[0] != '/') {
        why = "not an absolute path";
        return false;
    }
    UniqueFd folder(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    size_t at = 0;
    for (;;) {
        struct stat st;
        if (!folder.valid() || fstat(folder.get(), &st) != 0) {
            why = (walked.empty() ? std::string("/") : walked) + " cannot be opened as a folder";
            return false;
        }
        const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (st.st_uid != 0 || (othersWrite && !(st.st_mode & S_ISVTX))) {
            why = (walked.empty() ? std::string("/") : walked) + " may be changed by someone other than root";
            return false;
        }
        while (at < path.size() && path[at] == '/') ++at;
        if (at >= path.size()) break;
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, end - at);
        at = end;
        if (name == "..") {
            why = "it climbs with \"..\"";
            return false;
        }
        if (name == ".") continue;
        walked += "/" + name;
        folder.reset(openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    // The last folder itself must not be sticky-shared: what lies in it is root's to trust.
    struct stat last;
    fstat(folder.get(), &last);
    if ((last.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = path + " may be written by someone other than root";
        return false;
    }
    return true;
}

std::string SafeLanguageList(const std::string& value) {
    std::string list;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t end = std::min(value.find(':', start), value.size());
        std::string entry = value.substr(start, end - start);
        entry = entry.substr(0, entry.find_first_of(".@"));
        if (IsLanguageCode(entry)) list += (list.empty() ? "" : ":") + entry;
        start = end + 1;
    }
    return list;
}

std::vector<std::string> RelaunchArguments(const std::vector<std::string>& userArgs) {
    std::vector<std::string> args;
    for (size_t i = 1; i < userArgs.size(); ++i) {
        if (HasKey(userArgs[i], "mode")) {
            args.push_back(userArgs[i]);
            break;
        }
    }
    args.push_back("-norespawn");
    const char* display = getenv("DISPLAY");
    if (display != nullptr && IsLocalDisplay(display)) args.push_back(std::string("--display=") + display);
    std::string authority;
    if (const char* named = getenv("XAUTHORITY")) {
        authority = named;
    } else if (const char* home = getenv("HOME")) {
        authority = std::string(home) + "/.Xauthority";
    }
    struct stat st;
    if (!authority.empty() && authority[0] == '/' && stat(authority.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        args.push_back("--xauthority=" + authority);
    }
    std::string language;
    if (const char* list = getenv("LANGUAGE")) language = SafeLanguageList(list);
    if (language.empty()) language = SafeLanguageList(PreferredLanguage::First());
    if (!language.empty()) args.push_back("--language=" + language);
    return args;
}

namespace {

// One line of what an elevated start was handed: its arguments (control characters shown as
// '?', so that none forges a line) and the names of its environment variables.
void LogWhatCrossed(const Origin& origin, const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& argument : args) {
        line += " ";
        for (char c : argument) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    std::string names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = strchr(*entry, '=');
        names += " " + (equals != nullptr ? std::string(*entry, static_cast<size_t>(equals - *entry)) : std::string(*entry));
    }
    for (char& c : names) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    MOQ_LOG("Started as root for uid %u through %s; handed the arguments:%s\n", static_cast<unsigned>(origin.uid),
            origin.via == Via::kPkexec ? "pkexec" : "sudo", line.c_str());
    MOQ_LOG("Environment variables after the checks:%s\n", names.c_str());
}

// pkexec and sudo start root for a user: what the user set is dropped, what the user named is checked.
std::vector<std::string> TrustedStartForUser(const std::vector<std::string>& args, const Origin& origin) {
    for (const char* const* name = kRedirectingVariables; *name != nullptr; ++name) {
        Drop(*name, "set on an ordinary user's side of the elevation");
    }
    KeepOnlyPlainLanguages();
    // Root's folders of the user domain are made in HOME: never in the user's home (sudo -E).
    const char* home = getenv("HOME");
    std::string rootHome;
    if (MacUtils::HomeFolderOfUser(geteuid(), rootHome) && (home == nullptr || rootHome != home)) {
        if (home != nullptr) MOQ_LOG("Ignoring HOME: set on an ordinary user's side of the elevation\n");
        setenv("HOME", rootHome.c_str(), 1);
    }
    if (origin.via == Via::kPkexec) return FilterPkexecArguments(args, origin);
    // sudo keeps the user's X authority variable: only the user's own file is used, through root's copy.
    if (const char* authority = getenv("XAUTHORITY")) {
        std::string copy, why;
        if (CopyAuthority(authority, origin.uid, copy, why)) {
            gAuthorityCopy.path = copy;
            setenv("XAUTHORITY", copy.c_str(), 1);
        } else {
            MOQ_LOG("Ignoring XAUTHORITY: %s\n", why.c_str());
            unsetenv("XAUTHORITY");
        }
    }
    return args;
}

}  // namespace

std::vector<std::string> TrustedStart(const std::vector<std::string>& args) {
    if (geteuid() != 0) return args;  // an ordinary user's choices steer only that user's process
    const Origin origin = CurrentOrigin();
    if (origin.via != Via::kNone) {
        const std::vector<std::string> kept = TrustedStartForUser(args, origin);
        LogWhatCrossed(origin, args);
        return kept;
    }
    if (const char* root = getenv("KAVEX_SYSTEM_ROOT")) {
        std::string why;
        if (!IsRootOnlyFolder(root, why)) {
            MOQ_LOG("Ignoring KAVEX_SYSTEM_ROOT=%s: %s\n", root, why.c_str());
            std::cerr << "Update: ignoring KAVEX_SYSTEM_ROOT=" << root << ": " << why << "; the machine's own folders are used"
                      << std::endl;
            unsetenv("KAVEX_SYSTEM_ROOT");
        }
    }
    return args;
}

}  // namespace Elevation
