// Paths, folders and copies of the store files.
#ifndef MOXAI_FILES_H
#define MOXAI_FILES_H

#include <string>
#include <vector>

bool moxaiDbPath(std::string& base);  // machine-wide application support + "/Kavex"
bool moxaiPathAppend(const std::string& base, const std::string& segment, std::string& out);
bool moxaiPathParent(const std::string& path, std::string& parent);
bool moxaiPathExists(const std::string& path);
bool moxaiFileExists(const std::string& path);
bool moxaiDirectoryExists(const std::string& path);
int moxaiGetFileModTime(const std::string& path);
int moxaiCreatePath(const std::string& folder);
int moxaiCreateDirectory(const std::string& folder);
// Byte copy, atomic at the target; never through a link at the source.
bool moxaiCopyDatabaseFile(const std::string& from, const std::string& to);
// The backup has the store's size and was written strictly after the store last changed
// (a change in the same clock tick counts as later): copying again would change nothing.
bool moxaiBackupIsCurrent(const std::string& store, const std::string& backup);
// A regular file (not a link) with at least one byte: an emptied store holds nothing.
bool moxaiNonEmptyFile(const std::string& path);
int moxaiSetDbAccess(const std::string& folder, const std::string& fileName, bool shared);
bool moxaiLoadFileContents(const std::string& path, std::vector<unsigned char>& contents);
// The administrators' group: "sudo" when the machine has it, else root's group.
unsigned moxaiAdminGroup();

#endif
