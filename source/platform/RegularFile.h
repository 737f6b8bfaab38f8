// Reading the files a root process is handed (the bundle's descriptions, the
// pages' requests): regular files only, never waiting on a FIFO or a device,
// never more than a fixed number of bytes. Nothing here throws.
#ifndef REGULAR_FILE_H
#define REGULAR_FILE_H

#include <stddef.h>

#include <string>

namespace RegularFile {

// Real proxies, setup descriptions and string tables are a few kilobytes; a
// parsed document costs about twenty times its size in memory.
const size_t kMaxBytes = 8 * 1024 * 1024;

enum Outcome {
    kRead,     // the whole file is in the output
    kMissing,  // nothing at the path (or a folder on the way is missing)
    kRefused   // not a regular file, a link where none belongs, too large, or a read error
};

enum LinkPolicy {
    kNoFinalLink,  // a link in the last component is refused
    kFollowLinks
};

Outcome Read(const std::string& path, LinkPolicy links, std::string& bytes, size_t limit = kMaxBytes);

// A file below folder only: relative is walked name by name through descriptors, never
// through a link, never up ("..") and never out; kRefused for anything else.
Outcome ReadBelow(const std::string& folder, const std::string& relative, std::string& bytes, size_t limit = kMaxBytes);

}  // namespace RegularFile

#endif
