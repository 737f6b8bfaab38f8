// Copies and removals of file trees that never follow a symbolic link, on
// either side: every step goes through a descriptor opened with O_NOFOLLOW,
// and attributes are changed through descriptors or the no-follow calls.
// We run as root over folders that an ordinary user may write to.
#ifndef LINK_SAFE_TREE_H
#define LINK_SAFE_TREE_H

#include <sys/stat.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace LinkSafeTree {

// What a folder copy did; failures read "<path>: <reason>".
struct Outcome {
    std::vector<std::string> failures;
    size_t copied = 0;
    size_t skipped = 0;  // the target already held the same size and time
    std::vector<std::string> notCopied;  // devices, FIFOs and sockets: never made by a copy
};

// A folder opened as itself, never through a link at its last component; -1 on failure (errno set).
int OpenFolder(const std::string& path);
int OpenFolderAt(int folderFd, const std::string& name);

// What an entry that no copy makes is, for messages: "a FIFO", "a character device", ...
const char* SpecialKind(mode_t mode);

// Removes an entry; a folder with its whole content, a link as a link.
bool RemoveAt(int folderFd, const std::string& name, std::string& why);

// Copies one entry (file, link as a link, folder with its tree) to targetName in targetFolder.
// Copies are owned by the caller's user and group and carry no set-uid or set-gid bit;
// devices, FIFOs and sockets are never made: inside a folder they are left out (logged), and
// as the entry itself they fail the copy.
// An existing target is replaced, a link at the target included, never written through.
// Attributes restored afterwards: the old target's when keepTargetAttributes (not a link's),
// else the source's. With skipSame, a regular target of the same size and time is kept as is.
bool CopyEntryAt(int sourceFolder, const std::string& name, int targetFolder, const std::string& targetName,
                 bool keepTargetAttributes, bool skipSame, std::string& why, bool* skipped = nullptr);

// Gives a copied entry owner, mode and times as CopyEntryAt does: the caller's user, st's mode
// without set-id bits, st's times; a link only its owner and times.
bool ApplyAttributesAt(int folder, const std::string& name, const struct stat& st, std::string& why);

// Copies the content of one folder into another, folders always, files only when their
// name is longer than suffix and ends with it (every file with an empty suffix). A target
// entry that is not a folder where a folder is needed is replaced. Failures do not stop the walk.
void CopyChildren(int sourceFolder, int targetFolder, const std::string& suffix, const std::string& label,
                  Outcome& outcome);

}  // namespace LinkSafeTree

#endif
