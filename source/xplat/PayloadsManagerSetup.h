// The optional setup description beside the bundle.
#ifndef PAYLOADS_MANAGER_SETUP_H
#define PAYLOADS_MANAGER_SETUP_H

#include <map>
#include <string>
#include <vector>

class FileSystemPath;

namespace PayloadsManagerSetup {

class DataStore {
public:
    bool Load(const FileSystemPath& setupFile);

    std::vector<std::string> mCriticalCodes;
    std::vector<std::string> mOptionalCodes;
    std::map<std::string, std::string> mDisplayByCode;  // "none" hides a payload
    std::string mDriverCode;
};

}  // namespace PayloadsManagerSetup

#endif
