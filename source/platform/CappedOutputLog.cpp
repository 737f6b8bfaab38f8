#include "CappedOutputLog.h"

#include "MOQLogger.h"

CappedOutputLog::CappedOutputLog(std::function<void(const std::string&)> write) : mWrite(std::move(write)) {
    if (!mWrite) mWrite = [](const std::string& line) { MOQ_LOG("Setup output: %s\n", line.c_str()); };
}

void CappedOutputLog::Feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n') {
            EndLine();
            continue;
        }
        ++mLineBytes;
        if (mLine.size() < kMaxLineBytes) mLine += c == '\0' || c == '\r' ? ' ' : c;
    }
}

void CappedOutputLog::EndLine() {
    std::string line = std::move(mLine);
    if (mLineBytes > line.size()) line += " [cut]";
    const size_t bytes = mLineBytes + 1;
    mLine.clear();
    mLineBytes = 0;
    if (mHeadWritten < kHeadLines) {
        ++mHeadWritten;
        mWrite(line);
        return;
    }
    mTail.push_back(std::move(line));
    if (mTail.size() > kTailLines) {
        mTail.pop_front();
        ++mDroppedLines;
        mDroppedBytes += bytes;
    }
}

void CappedOutputLog::Finish() {
    if (mFinished) return;
    mFinished = true;
    if (mLineBytes > 0 || !mLine.empty()) EndLine();
    if (mDroppedLines > 0) {
        mWrite("[" + std::to_string(mDroppedLines) + " lines (about " + std::to_string(mDroppedBytes) +
               " bytes) of output left out; the last " + std::to_string(mTail.size()) + " follow]");
    }
    for (const std::string& line : mTail) mWrite(line);
    mTail.clear();
}

int CappedOutputLog::Receive(std::string chunk, void* context) {
    static_cast<CappedOutputLog*>(context)->Feed(chunk.data(), chunk.size());
    return 0;
}
