#include "PayloadIteration.h"

#include <memory>

#include "FileSystemUtils.h"
#include "FileSystemUtilsMac.h"
#include "MOQLogger.h"
#include "PayloadAccessor.h"
#include "StringUtils.h"


PayloadAccessor::PayloadAccessor(const FileSystemPath& proxyPath, const FileSystemPath& payloadPath,
                                 PayloadProxy::DataStore* store)
    : mDataStore(store),
      mProxyPath(proxyPath),
      mPayloadPath(payloadPath),
      mPayloadImagePath(payloadPath),
      mSelected(true),
      mParentNotInstalled(false),
      mAlreadyInstalled(false),
      mHigherPatchInstalled(false) {}

PayloadAccessor::~PayloadAccessor() { delete mDataStore; }

namespace PayloadIteration {

using PayloadProxyFileConstants::ProxyFileType;

std::string ImagePathForProxy(const std::string& proxyPath) {
    std::string image = proxyPath;
    const size_t at = image.rfind(kProxyFileExtension);
    if (at != std::string::npos) image.replace(at, std::string(kProxyFileExtension).size(), VORNConstants::kPlatformPayloadExtension);
    return image;
}

bool EnumerateVornProxyAndPayloadPaths(const FileSystemPath& payloadsFolder, ProxyFileType type, PathPairs& pairs) {
    MOQ_LOG("Called EnumerateVorn\t\twith inPayloadsDir %s\n", payloadsFolder.AsUTF8String().c_str());
    pairs.clear();
    std::vector<FileSystemPath> children;
    if (!FileSystemUtils::ChildrenForDirectory(payloadsFolder, children)) return false;
    for (const FileSystemPath& child : children) {
        bool isFolder = false;
        if (!FileSystemUtils::IsDirectory(child, isFolder)) return false;
        if (!isFolder) continue;
        std::vector<FileSystemPath> files;
        if (!FileSystemUtils::ChildrenForDirectory(child, files)) return false;
        for (const FileSystemPath& file : files) {
            const std::string name = file.NameAsUTF8String();
            std::string extension;
            if (type != PayloadProxyFileConstants::kProxyTypeFull && StringUtils::EndsWith(name, kMiniProxyFileExtension)) {
                extension = kMiniProxyFileExtension;
            } else if (type != PayloadProxyFileConstants::kProxyTypeMini && StringUtils::EndsWith(name, kProxyFileExtension)) {
                extension = kProxyFileExtension;
            } else {
                continue;
            }
            FileSystemPath image(child);
            image.AppendUTF8Segment(name.substr(0, name.size() - extension.size()) + VORNConstants::kPlatformPayloadExtension);
            pairs.push_back(std::make_pair(file, image));
            break;
        }
    }
    MOQ_LOG("Returning from EnumerateVornProxyAndPayloadPaths\n");
    return true;
}

bool LoadPayloadAccessors(const FileSystemPath& payloadsFolder, ProxyFileType type, std::vector<PayloadAccessor*>& accessors,
                          PathPairs& failed, std::vector<std::string>& payloadImagePaths) {
    MOQ_LOG("Called PayloadIteration::LoadPayloadAccessors with inPayloadPath %s\n", payloadsFolder.AsUTF8String().c_str());
    accessors.clear();
    failed.clear();
    PathPairs pairs;
    // No folder at all: nothing to install. Something else there: a broken bundle, never "nothing".
    if (!EnumerateVornProxyAndPayloadPaths(payloadsFolder, type, pairs) && FileSystemUtils::Exists(payloadsFolder)) {
        MOQ_LOG("The extensions folder cannot be read: %s is not a folder of its own\n", payloadsFolder.AsUTF8String().c_str());
        return false;
    }
    for (const auto& pair : pairs) {
        std::unique_ptr<PayloadProxy::DataStore> store(new PayloadProxy::DataStore());
        // The reader takes a missing file for an empty description; a listed proxy that
        // is not a plain file (a dangling link, a folder) is one that cannot be read.
        bool regular = false;
        if (!FileSystemUtilsMac::IsRegularFile(pair.first, regular) || !regular || !store->Load(pair.first)) {
            MOQ_LOG("The proxy %s cannot be read\n", pair.first.AsUTF8String().c_str());
            failed.push_back(pair);
            continue;
        }
        PayloadAccessor* accessor = new PayloadAccessor(pair.first, pair.second, store.release());
        accessor->mPayloadImagePath = FileSystemPath::PathFromUTF8(ImagePathForProxy(pair.first.AsUTF8String()));
        accessors.push_back(accessor);
        payloadImagePaths.push_back(accessor->mPayloadImagePath.AsUTF8String());
    }
    MOQ_LOG("Returning from PayloadIteration::LoadPayloadAccessors\n");
    return failed.empty();
}

}  // namespace PayloadIteration
