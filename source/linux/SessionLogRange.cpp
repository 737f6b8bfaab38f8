#include "SessionLogRange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "UniqueFd.h"

namespace {
const uint64_t kLargestLog = 64ull * 1024 * 1024;
}

bool SessionLogRange::CountLines(const std::string& path, uint64_t& lines) {
    lines = 0;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char chunk[65536];
    uint64_t total = 0;
    while (total < kLargestLog) {
        const ssize_t n = read(fd.get(), chunk, sizeof(chunk));
        if (n < 0) return false;
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        lines += static_cast<uint64_t>(std::count(chunk, chunk + n, '\n'));
    }
    return true;
}

void SessionLogRange::Begin(const std::string& logPath) {
    path = logPath;
    uint64_t lines = 0;
    known = CountLines(path, lines);
    firstLine = lines + 1;
    lastLine = lines;
}

void SessionLogRange::End() {
    uint64_t lines = 0;
    known = known && CountLines(path, lines);
    if (known) lastLine = lines;
}
