#include "LockHolder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "NamedLock.h"

LockHolder::LockHolder(const std::string& name) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t parent = getpid();
    mPid = fork();
    if (mPid < 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error("fork");
    }
    if (mPid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);  // the test ended before the signal was armed
        close(ready[0]);
        std::shared_ptr<NamedLock> lock;
        const char got = NamedLock::AcquireLock(name, lock) ? 'y' : 'n';
        if (write(ready[1], &got, 1) != 1) _exit(1);
        close(ready[1]);
        for (;;) pause();
    }
    close(ready[1]);
    char got = 0;
    mHeld = read(ready[0], &got, 1) == 1 && got == 'y';
    close(ready[0]);
}

void LockHolder::Release() {
    if (mPid <= 0) return;
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
    mHeld = false;
}
