// Moving bytes between descriptors: every byte or a failure, never a silent half.
#ifndef FILE_CONTENTS_H
#define FILE_CONTENTS_H

#include <sys/types.h>

#include <string>

namespace FileContents {
// Through interruptions and short writes.
bool WriteAll(int fd, const char* data, size_t size);
inline bool WriteAll(int fd, const std::string& text) { return WriteAll(fd, text.data(), text.size()); }
// Everything from in to out; sizeHint (what in held when measured) lets the kernel copy
// without a round trip through us, and a file that grew since is still copied whole.
bool Copy(int in, int out, off_t sizeHint);
}  // namespace FileContents

#endif
