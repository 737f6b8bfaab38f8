#include "FolderResolver.h"

#include "MacUtils.h"

namespace {

struct KeyEntry {
    const char* key;
    unsigned long folderType;
    short domain;
};

const KeyEntry kKeys[] = {
    {"KavexCommon", kApplicationSupportFolderType, kLocalDomain},
    {"KavexProgramFiles", kApplicationsFolderType, kLocalDomain},
    {"Common", kApplicationSupportFolderType, kLocalDomain},
    {"ProgramFiles", kApplicationsFolderType, kLocalDomain},
    {"SharedApplicationData", kApplicationSupportFolderType, kLocalDomain},
    {"SharedDocuments", kSharedUserDataFolderType, kLocalDomain},
    {"Utilities", kUtilitiesFolderType, kLocalDomain},
    {"FontsFolder", kFontsFolderType, kLocalDomain},
    {"Library", kDomainLibraryFolderType, kLocalDomain},
    {"ScriptingAdditions", kScriptingAdditionsFolderType, kLocalDomain},
    {"InternetPlugins", kInternetPlugInFolderType, kLocalDomain},
    {"ColorSyncProfiles", kColorSyncProfilesFolderType, kLocalDomain},
    {"UserInternetPlugins", kInternetPlugInFolderType, kUserDomain},
};

}  // namespace

bool FolderResolver::ExpandPathKey(const std::string& key, FileSystemPath& path) {
    for (const KeyEntry& entry : kKeys) {
        if (key != entry.key) continue;
        std::string folder;
        if (!MacUtils::StdStringFindFolder(entry.domain, entry.folderType, kCreateFolder, folder)) return false;
        FileSystemPath found(folder);
        if (key == "KavexCommon") found.AppendUTF8Segment("Kavex");
        path = found;
        return true;
    }
    if (key == "UserPreferences") {
        // The console user's own preferences, even when we run as root.
        std::string name, home;
        unsigned uid = 0;
        if (MacUtils::GetConsoleUser(name, uid) && MacUtils::HomeFolderOfUser(uid, home)) {
            FileSystemPath preferences(home);
            preferences.AppendUTF8Segment("Library").AppendUTF8Segment("Preferences");
            path = preferences;
            return true;
        }
        std::string folder;
        if (!MacUtils::StdStringFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, folder)) return false;
        path = FileSystemPath(folder);
        return true;
    }
    return false;
}
