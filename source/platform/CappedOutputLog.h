// A child's output, streamed to the session log line by line within a bound: the first
// lines as they come, then only the last ones, and a line that says how much was left out.
// A setup that writes a gigabyte costs the log and the memory a few hundred lines.
#ifndef CAPPED_OUTPUT_LOG_H
#define CAPPED_OUTPUT_LOG_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

class CappedOutputLog {
public:
    static const size_t kHeadLines = 200;
    static const size_t kTailLines = 50;
    static const size_t kMaxLineBytes = 1024;  // longer lines are cut here

    // Writes each kept line; the session log by default.
    explicit CappedOutputLog(std::function<void(const std::string&)> write = nullptr);

    void Feed(const char* data, size_t size);
    // Flushes a last unfinished line, the count of what was left out, and the tail.
    void Finish();

    uint64_t droppedLines() const { return mDroppedLines; }
    uint64_t droppedBytes() const { return mDroppedBytes; }

    // Suits ExecUtils::RunExecutable's progress callback; context is a CappedOutputLog.
    static int Receive(std::string chunk, void* context);

private:
    void EndLine();

    std::function<void(const std::string&)> mWrite;
    std::string mLine;
    size_t mLineBytes = 0;  // the whole line's length, cut or not
    size_t mHeadWritten = 0;
    std::deque<std::string> mTail;
    uint64_t mDroppedLines = 0;
    uint64_t mDroppedBytes = 0;
    bool mFinished = false;
};

#endif
