// File and folder operations on FileSystemPath values.
#ifndef FILE_SYSTEM_UTILS_H
#define FILE_SYSTEM_UTILS_H

#include <string>
#include <vector>

#include "FileSystemPath.h"

namespace FileSystemUtils {
bool Exists(const FileSystemPath& path);  // a dangling link exists
bool IsDirectory(const FileSystemPath& path, bool& isDirectory);
bool ChildrenForDirectory(const FileSystemPath& folder, std::vector<FileSystemPath>& children);
// Copies a file or a whole folder, keeping modes, owners, times and links.
bool CopyFile(const FileSystemPath& from, const FileSystemPath& to, bool keepTargetAttributes);
bool MoveFile(const FileSystemPath& from, const FileSystemPath& to);
bool DeleteFile(const FileSystemPath& path, bool unused);
bool LoadFileContents(const FileSystemPath& path, std::vector<unsigned char>& contents);
bool SetWorkingDirectory(const FileSystemPath& path);
}  // namespace FileSystemUtils

#endif
