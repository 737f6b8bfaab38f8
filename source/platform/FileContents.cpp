#include "FileContents.h"

#include <errno.h>
#include <unistd.h>

#include <vector>

#include "SystemCalls.h"

namespace FileContents {

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = SystemCalls::Current().write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool Copy(int in, int out, off_t sizeHint) {
    off_t left = sizeHint;
    while (left > 0) {
        ssize_t n = SystemCalls::Current().copyFileRange(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        left -= n;
    }
    if (sizeHint > 0 && left == 0) {
        // The file may have grown since it was measured.
        char probe;
        ssize_t n;
        do {
            n = SystemCalls::Current().read(in, &probe, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 0) return true;
        if (n < 0 || lseek(in, -1, SEEK_CUR) < 0) return false;
    }
    // Most files that get here are empty (no size to copy by range): a small read finds
    // the end before a large buffer is made.
    char first[4096];
    for (;;) {
        const ssize_t n = read(in, first, sizeof(first));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(out, first, static_cast<size_t>(n))) return false;
        break;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = SystemCalls::Current().read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

}  // namespace FileContents
