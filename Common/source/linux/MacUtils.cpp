#include "MacUtils.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "UnicodeText.h"

namespace {

struct FolderEntry {
    unsigned long type;
    const char* relative;  // below the domain's root; original folder names
};

const FolderEntry kFolders[] = {
    {kApplicationSupportFolderType, "Library/Application Support"},
    {kApplicationsFolderType, "Applications"},
    {kSharedUserDataFolderType, "Users/Shared"},
    {kUtilitiesFolderType, "Applications/Utilities"},
    {kFontsFolderType, "Library/Fonts"},
    {kDomainLibraryFolderType, "Library"},
    {kScriptingAdditionsFolderType, "Library/ScriptingAdditions"},
    {kInternetPlugInFolderType, "Library/Internet Plug-Ins"},
    {kColorSyncProfilesFolderType, "Library/ColorSync/Profiles"},
    {kPreferencesFolderType, "Library/Preferences"},
};

bool MakeFolders(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) return false;
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The account entry of a user, read reentrantly: the folder lookup also runs on worker threads.
bool Account(uid_t uid, std::string* name, std::string* home) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
    struct passwd entry;
    struct passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return false;
    if (name != nullptr) *name = entry.pw_name != nullptr ? entry.pw_name : "";
    if (home != nullptr) *home = entry.pw_dir != nullptr ? entry.pw_dir : "";
    return true;
}

std::string UserHome() {
    if (const char* home = getenv("HOME")) {
        if (home[0] == '/') return home;
    }
    std::string home;
    Account(geteuid(), nullptr, &home);
    return home;
}

bool UidFromVariable(const char* name, unsigned& uid) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = strtoul(value, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    uid = static_cast<unsigned>(parsed);
    return true;
}

}  // namespace

namespace MacUtils {

std::string UTF8StdStringCreateCFStringRef(const std::string& utf8) {
    if (!UnicodeText::IsValidUTF8(utf8)) {
        throw std::runtime_error("Unable to convert std::string to CFString.");
    }
    return utf8;
}

std::string CFStringRefToUTF8StdString(const std::string& platformString) {
    if (platformString.empty()) return std::string();
    if (!UnicodeText::IsValidUTF8(platformString)) {
        throw std::runtime_error("Unable to extract UTF8 from CFStringRef in conversion to std::string");
    }
    return platformString;
}

std::vector<uint16_t> UTF8StringToVectorUniChar(const std::string& utf8) {
    const std::optional<std::u16string> utf16 = UnicodeText::ToUTF16(utf8);
    if (!utf16) throw std::runtime_error("Unable to convert std::string to CFString.");
    return std::vector<uint16_t>(utf16->begin(), utf16->end());
}

bool ConvertPOSIXNameToHFSName(const std::string& in, std::string& out) {
    out = in;
    for (char& c : out) {
        if (c == ':') c = '/';
    }
    return true;
}

std::string SystemRoot() {
    const char* root = getenv(kSystemRootVariable);
    if (root == nullptr || root[0] != '/') return "/";
    std::string text(root);
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool StdStringFindFolder(short domain, unsigned long folderType, unsigned char createFolder, std::string& out) {
    std::string base;
    if (domain == kLocalDomain) {
        base = SystemRoot();
    } else if (domain == kUserDomain) {
        base = UserHome();
        if (base.empty()) return false;
    } else {
        return false;
    }
    for (const FolderEntry& entry : kFolders) {
        if (entry.type != folderType) continue;
        std::string path = base == "/" ? "/" + std::string(entry.relative) : base + "/" + entry.relative;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return false;
        } else if (!createFolder || !MakeFolders(path)) {
            return false;
        }
        out = path;
        return true;
    }
    return false;
}

bool GetConsoleUser(std::string& name, unsigned& uid) {
    unsigned id = 0;
    if (!UidFromVariable("PKEXEC_UID", id) && !UidFromVariable("SUDO_UID", id)) id = getuid();
    if (!Account(static_cast<uid_t>(id), &name, nullptr)) return false;
    uid = id;
    return true;
}

bool HomeFolderOfUser(unsigned uid, std::string& home) {
    std::string found;
    if (!Account(static_cast<uid_t>(uid), nullptr, &found) || found.empty() || found[0] != '/') return false;
    home = found;
    return true;
}

}  // namespace MacUtils
