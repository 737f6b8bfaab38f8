#include "SessionLogRange.h"

#include "RegularFile.h"

namespace {
const size_t kLargestLog = 64u * 1024 * 1024;
// "YYYY-MM-DD HH:MM:SS": the writer's process id follows it; a message that names a
// process id in its text is no line of that process.
const size_t kStampLength = 19;
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
        if (end - start >= kStampLength + mark.size() && text.compare(start + kStampLength, mark.size(), mark) == 0) {
            if (!known) firstLine = line;
            lastLine = line;
            known = true;
        }
        start = end + 1;
    }
}
