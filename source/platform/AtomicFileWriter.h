// Writes a whole file at once: a temporary file in the same folder, then a
// rename over the final name. Nothing is ever written through a link, and a
// final name that is a link (or anything but a regular file) is refused.
#ifndef ATOMIC_FILE_WRITER_H
#define ATOMIC_FILE_WRITER_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace AtomicFileWriter {
// The temporary file is named for its writer (".<name>.kavex-tmp.<pid>-<start>-..."): one that a
// writer which died before its rename left behind is removed by the next write of the name.
// False with the reason in why; the final name is then left as it was. The file and its
// folder are on disk when it returns true.
bool Write(const std::string& path, const std::string& contents, std::string& why);
// The same, written by a child process with only the given user's rights: root writes
// where that user named only what the user could have written there.
bool WriteAsUser(const std::string& path, const std::string& contents, uid_t uid, gid_t gid, std::string& why);
// The same for content that fill writes to the new file's descriptor (false: it failed), with mode.
bool WriteWith(const std::string& path, mode_t mode, const std::function<bool(int fd)>& fill, std::string& why);
// Removes the temporaries of path whose writers are gone.
void RemoveStale(const std::string& path);
// The same for every name in folder.
void RemoveStaleInFolder(const std::string& folder);
}

#endif
