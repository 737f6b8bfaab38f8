// Folder operations that the installers of the family share.
#ifndef FILE_SYSTEM_UTILS_MAC_H
#define FILE_SYSTEM_UTILS_MAC_H

#include <cstdint>

#include "FileSystemPath.h"

namespace FileSystemUtilsMac {
bool IsRegularFile(const FileSystemPath& path, bool& isRegular);
bool DeleteDirectory(const FileSystemPath& path, bool unused);
bool CreateDirectory(const FileSystemPath& path, uint16_t mode, bool forceMode);
bool CreateDirectoryPath(const FileSystemPath& path, uint16_t mode, bool forceMode);
bool CreateTemporaryDirectory(FileSystemPath& out);
}  // namespace FileSystemUtilsMac

#endif
