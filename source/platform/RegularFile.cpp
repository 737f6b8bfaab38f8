#include "RegularFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "UniqueFd.h"

namespace RegularFile {

namespace {

Outcome ReadOpened(UniqueFd fd, std::string& bytes, size_t limit);

}  // namespace

Outcome Read(const std::string& path, LinkPolicy links, std::string& bytes, size_t limit) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (links == kNoFinalLink) flags |= O_NOFOLLOW;
    if (path.empty() || path.find('\0') != std::string::npos) return kRefused;
    UniqueFd fd(open(path.c_str(), flags));
    if (!fd.valid()) return errno == ENOENT || errno == ENOTDIR ? kMissing : kRefused;
    return ReadOpened(std::move(fd), bytes, limit);
}

Outcome ReadBelow(const std::string& folder, const std::string& relative, std::string& bytes, size_t limit) {
    if (folder.empty() || relative.empty() || relative[0] == '/' || relative.find('\0') != std::string::npos) {
        return kRefused;
    }
    UniqueFd at(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!at.valid()) return errno == ENOENT ? kMissing : kRefused;
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty() || name == "." || name == "..") return kRefused;
        if (slash == std::string::npos) {
            UniqueFd fd(openat(at.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
            if (!fd.valid()) return errno == ENOENT ? kMissing : kRefused;
            return ReadOpened(std::move(fd), bytes, limit);
        }
        UniqueFd next(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) return errno == ENOENT ? kMissing : kRefused;
        at = std::move(next);
        start = slash + 1;
    }
}

namespace {

Outcome ReadOpened(UniqueFd fd, std::string& bytes, size_t limit) {
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > limit) {
        return kRefused;
    }
    // The size may change under us: read to the end, but never past the limit.
    std::string content;
    content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) continue;
            return kRefused;
        }
        if (n == 0) break;
        if (content.size() + static_cast<size_t>(n) > limit) return kRefused;
        content.append(buffer, static_cast<size_t>(n));
    }
    bytes.swap(content);
    return kRead;
}

}  // namespace

}  // namespace RegularFile
