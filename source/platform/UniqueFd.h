// Sole owner of a file descriptor: closed once, when the owner goes.
#ifndef UNIQUE_FD_H
#define UNIQUE_FD_H

#include <unistd.h>

#include "SystemCalls.h"

class UniqueFd {
public:
    UniqueFd() : mFd(-1) {}
    explicit UniqueFd(int fd) : mFd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return mFd; }
    bool valid() const { return mFd >= 0; }
    int release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (mFd >= 0) ::close(mFd);
        mFd = fd;
    }
    // For callers that must see the close's own verdict (a written file).
    int close() {
        const int rc = mFd >= 0 ? SystemCalls::Current().close(mFd) : 0;
        mFd = -1;
        return rc;
    }

private:
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int mFd;
};

#endif
