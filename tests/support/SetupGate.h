// A FIFO the test holds open for writing: a stand-in setup told to wait on it ("hold=",
// "daemon=") ends when the test lets go, or when the test dies. Held again, it holds the
// setups that start from then on.
#ifndef SETUP_GATE_H
#define SETUP_GATE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class SetupGate {
public:
    explicit SetupGate(const std::string& path) : mPath(path) {
        EXPECT_EQ(0, mkfifo(path.c_str(), 0600)) << path;
        Hold();
    }
    ~SetupGate() { LetGo(); }
    SetupGate(const SetupGate&) = delete;
    SetupGate& operator=(const SetupGate&) = delete;
    void Hold() {
        if (mFd < 0) mFd = open(mPath.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(mFd, 0) << mPath;
    }
    void LetGo() {
        if (mFd >= 0) close(mFd);
        mFd = -1;
    }
    const std::string& Path() const { return mPath; }
    // Lets go when the scope ends, however it ends: a failed assertion must not leave a setup
    // waiting (and the program's pass with it) until the test's time runs out.
    class LetGoAtExit {
    public:
        explicit LetGoAtExit(SetupGate& gate) : mGate(gate) {}
        ~LetGoAtExit() { mGate.LetGo(); }
        LetGoAtExit(const LetGoAtExit&) = delete;
        LetGoAtExit& operator=(const LetGoAtExit&) = delete;

    private:
        SetupGate& mGate;
    };

private:
    std::string mPath;
    int mFd = -1;
};

#endif
