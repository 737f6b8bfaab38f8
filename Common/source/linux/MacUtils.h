// Folder lookup, string checks and the console user, for every installer of the family.
#ifndef MAC_UTILS_H
#define MAC_UTILS_H

#include <cstdint>
#include <string>
#include <vector>

// Folder domains and types keep the values that installer descriptions use.
const short kLocalDomain = -32765;
const short kUserDomain = -32763;
const unsigned char kCreateFolder = 1;
const unsigned char kDontCreateFolder = 0;

const unsigned long kApplicationSupportFolderType = 0x61737570;  // 'asup'
const unsigned long kApplicationsFolderType = 0x61707073;        // 'apps'
const unsigned long kSharedUserDataFolderType = 0x73646174;      // 'sdat'
const unsigned long kUtilitiesFolderType = 0x757469C4;
const unsigned long kFontsFolderType = 0x666F6E74;               // 'font'
const unsigned long kDomainLibraryFolderType = 0x646C6962;       // 'dlib'
const unsigned long kScriptingAdditionsFolderType = 0xC4736372;
const unsigned long kInternetPlugInFolderType = 0xC46E6574;
const unsigned long kColorSyncProfilesFolderType = 0x70726F66;   // 'prof'
const unsigned long kPreferencesFolderType = 0x70726566;         // 'pref'

// The machine root of the local domain moves here when set (tests, demos).
#define kSystemRootVariable "KAVEX_SYSTEM_ROOT"

namespace MacUtils {
// Platform strings are UTF-8 here: these check the bytes and throw the
// conversion messages when they are not UTF-8.
std::string UTF8StdStringCreateCFStringRef(const std::string& utf8);
std::string CFStringRefToUTF8StdString(const std::string& platformString);
std::vector<uint16_t> UTF8StringToVectorUniChar(const std::string& utf8);
bool ConvertPOSIXNameToHFSName(const std::string& in, std::string& out);

// The folder of a type in a domain, created when asked and missing.
bool StdStringFindFolder(short domain, unsigned long folderType, unsigned char createFolder, std::string& out);
// "/" or the sandbox root, without a trailing slash unless it is "/".
std::string SystemRoot();

// The user on whose behalf the process runs: PKEXEC_UID, SUDO_UID, then the real user.
bool GetConsoleUser(std::string& name, unsigned& uid);
bool HomeFolderOfUser(unsigned uid, std::string& home);
}  // namespace MacUtils

#endif
