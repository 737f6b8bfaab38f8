// One payload's description, read from its proxy file.
#ifndef PAYLOAD_PROXY_H
#define PAYLOAD_PROXY_H

#include <string>
#include <vector>

class FileSystemPath;

namespace PayloadProxy {

struct CONPROCESS {
    std::string mProcessName;  // an application that must not run during installation
    std::string mBlocking;     // "1" blocks the installation; anything else only warns
};

class DataStore {
public:
    bool Load(const FileSystemPath& proxyFile);

    std::string mFamily;
    std::string mProduct;
    std::string mProductName;
    std::string mProductVersion;
    std::string mExtensionType;
    std::string mKavexCode;
    std::string mParentKavexCode;
    std::string mParentProductName;
    std::vector<std::string> mUpgrades;
    std::string mTotalSize;
    std::vector<CONPROCESS> mConflictingProcesses;
};

}  // namespace PayloadProxy

#endif
