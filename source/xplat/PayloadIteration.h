// Finds the payloads beside the program and loads their proxy files.
#ifndef PAYLOAD_ITERATION_H
#define PAYLOAD_ITERATION_H

#include <string>
#include <utility>
#include <vector>

#include "FileSystemPath.h"

class PayloadAccessor;

namespace PayloadProxyFileConstants {
enum ProxyFileType : int32_t { kProxyTypeAny = 0, kProxyTypeFull = 1, kProxyTypeMini = 2 };
const char* const kPlatformCurrent = "OSX";
}

namespace VORNConstants {
const char* const kPlatformPayloadExtension = ".dmg";
}

namespace PayloadIteration {
const char* const kProxyFileExtension = ".proxy.xml";
const char* const kMiniProxyFileExtension = ".boot.xml";

typedef std::vector<std::pair<FileSystemPath, FileSystemPath> > PathPairs;

bool EnumerateVornProxyAndPayloadPaths(const FileSystemPath& payloadsFolder, PayloadProxyFileConstants::ProxyFileType type,
                                       PathPairs& pairs);
bool LoadPayloadAccessors(const FileSystemPath& payloadsFolder, PayloadProxyFileConstants::ProxyFileType type,
                          std::vector<PayloadAccessor*>& accessors, PathPairs& failed,
                          std::vector<std::string>& payloadImagePaths);
// The disk image beside a proxy: the last ".proxy.xml" replaced by ".dmg".
std::string ImagePathForProxy(const std::string& proxyPath);
}  // namespace PayloadIteration

#endif
