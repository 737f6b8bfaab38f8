// File and folder operations on FileSystemPath values.
#ifndef FILE_SYSTEM_UTILS_H
#define FILE_SYSTEM_UTILS_H

#include <string>
#include <vector>

#include "FileSystemPath.h"
#include "LinkSafeTree.h"

namespace FileSystemUtils {
bool Exists(const FileSystemPath& path);  // a dangling link exists
bool IsDirectory(const FileSystemPath& path, bool& isDirectory);
bool ChildrenForDirectory(const FileSystemPath& folder, std::vector<FileSystemPath>& children);
// Copies a file or a whole folder, keeping modes, owners, times and links (as links).
// An existing target is replaced, a link there too; nothing is ever written through a link.
bool CopyFile(const FileSystemPath& from, const FileSystemPath& to, bool keepTargetAttributes);
// Copies what a folder holds into another (created 0755 when missing), files only when their
// names end with suffix (all with an empty one); targets of the same size and time are kept.
// A missing source copies nothing. False when anything failed; the reasons are in outcome.
bool CopyFolderContents(const FileSystemPath& from, const FileSystemPath& to, const std::string& suffix,
                        LinkSafeTree::Outcome& outcome);
bool MoveFile(const FileSystemPath& from, const FileSystemPath& to);
bool DeleteFile(const FileSystemPath& path, bool unused);
// A regular file's whole content, within RegularFile::kMaxBytes; never waits on a pipe.
bool LoadFileContents(const FileSystemPath& path, std::vector<unsigned char>& contents);
}  // namespace FileSystemUtils

#endif
