#include "SessionLogRange.h"

#include <algorithm>

#include "RegularFile.h"

namespace {
const size_t kLargestLog = 64u * 1024 * 1024;
}

void SessionLogRange::Locate(const std::string& logPath, int pid) {
    path = logPath;
    known = false;
    std::string text;
    if (RegularFile::Read(path, RegularFile::kNoFinalLink, text, kLargestLog) != RegularFile::kRead) return;
    const std::string mark = " [" + std::to_string(pid) + "] ";
    uint64_t line = 1;
    for (size_t start = 0; start < text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const auto lineEnd = text.begin() + static_cast<std::ptrdiff_t>(end);
        if (std::search(text.begin() + static_cast<std::ptrdiff_t>(start), lineEnd, mark.begin(), mark.end()) != lineEnd) {
            if (!known) firstLine = line;
            lastLine = line;
            known = true;
        }
        start = end + 1;
    }
}
