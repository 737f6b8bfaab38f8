#include "ExecUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "UniqueFd.h"

extern char** environ;

namespace {

// Only these two survive into the child's environment.
std::vector<std::string> KeptEnvironment() {
    std::vector<std::string> kept;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (strncmp(*entry, "__CF_USER_TEXT_ENCODING=", 24) == 0 || strncmp(*entry, "SECURITYSESSIONID=", 18) == 0) {
            kept.push_back(*entry);
        }
    }
    return kept;
}

int64_t MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Readable when the child has exited; -1 where the kernel has no such descriptor.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Standard input and output from the pipes, the working folder changed in the child
// only, a group of its own when asked; 0 or an error number.
int SpawnChild(std::vector<char*>& argv, std::vector<char*>& envp, int input, int output, const char* workingFolder,
               bool ownGroup, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return ENOMEM;
    }
    int rc = posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    if (rc == 0 && workingFolder != nullptr) rc = posix_spawn_file_actions_addchdir_np(&actions, workingFolder);
    if (rc == 0 && ownGroup) {
        rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (rc == 0) rc = posix_spawnattr_setpgroup(&attributes, 0);
    }
    if (rc == 0) rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

enum class ChildEnd { kEnded, kTimedOut, kLost };

// Reads what the child writes while it runs, and returns when it has ended (or stopped).
// Stops are seen at the next tick; exits at once through the pid descriptor.
ChildEnd AwaitChild(pid_t pid, UniqueFd& fromChild, const ExecUtils::ChildSetup* setup, std::vector<char>* output,
                    bool& failed, int (*progress)(std::string, void*), void* context, int& status) {
    UniqueFd pidFd(OpenPidFd(pid));
    const unsigned limitSeconds = setup != nullptr ? setup->timeoutSeconds : 0;
    const int64_t deadline = limitSeconds > 0 ? MonotonicMs() + static_cast<int64_t>(limitSeconds) * 1000 : -1;
    const bool ticking = setup != nullptr && setup->tick && setup->tickMilliseconds > 0;
    int64_t nextTick = ticking ? MonotonicMs() + setup->tickMilliseconds : -1;
    int64_t killAt = -1;
    bool timedOut = false;
    char chunk[16384];
    auto consume = [&](ssize_t n) {
        if (output != nullptr) output->insert(output->end(), chunk, chunk + n);
        if (progress != nullptr) progress(std::string(chunk, static_cast<size_t>(n)), context);
    };
    for (;;) {
        pid_t waited;
        do {
            waited = waitpid(pid, &status, WNOHANG | WUNTRACED);
        } while (waited < 0 && errno == EINTR);
        if (waited < 0) return ChildEnd::kLost;
        if (waited == pid) break;
        const int64_t now = MonotonicMs();
        if (deadline >= 0 && !timedOut && now >= deadline) {
            timedOut = true;
            kill(-pid, SIGTERM);
            kill(pid, SIGTERM);
            killAt = now + static_cast<int64_t>(ExecUtils::kTimeoutGraceSeconds) * 1000;
        }
        if (killAt >= 0 && now >= killAt) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            killAt = -1;
        }
        struct pollfd fds[2];
        nfds_t count = 0;
        if (fromChild.valid()) fds[count++] = {fromChild.get(), POLLIN, 0};
        if (pidFd.valid()) fds[count++] = {pidFd.get(), POLLIN, 0};
        if (ticking && now >= nextTick) {
            setup->tick();
            nextTick = now + setup->tickMilliseconds;
        }
        int wait = 200;  // a stop, or the lack of a pid descriptor, is noticed by this tick
        if (deadline >= 0 && !timedOut) wait = static_cast<int>(std::min<int64_t>(wait, std::max<int64_t>(0, deadline - now)));
        if (ticking) wait = static_cast<int>(std::min<int64_t>(wait, std::max<int64_t>(0, nextTick - now)));
        if (poll(fds, count, wait) < 0 && errno != EINTR) {
            failed = true;
            continue;
        }
        if (fromChild.valid() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = read(fromChild.get(), chunk, sizeof(chunk));
            if (n > 0) {
                consume(n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                if (n < 0) failed = true;
                fromChild.reset();
            }
        }
    }
    if (fromChild.valid()) {
        // What the child wrote before it ended; a descendant that keeps the pipe open is not waited for.
        fcntl(fromChild.get(), F_SETFL, fcntl(fromChild.get(), F_GETFL) | O_NONBLOCK);
        for (ssize_t n; (n = read(fromChild.get(), chunk, sizeof(chunk))) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            consume(n);
        }
        fromChild.reset();
    }
    return timedOut ? ChildEnd::kTimedOut : ChildEnd::kEnded;
}

}  // namespace

namespace ExecUtils {

void FormExecArgv(const std::vector<std::string>& args, std::vector<char>& buffer, std::vector<char*>& argv) {
    buffer.clear();
    argv.clear();
    std::vector<size_t> offsets;
    for (const std::string& arg : args) {
        offsets.push_back(buffer.size());
        buffer.insert(buffer.end(), arg.begin(), arg.end());
        buffer.push_back('\0');
    }
    for (size_t offset : offsets) argv.push_back(buffer.data() + offset);
    argv.push_back(nullptr);
}

bool WaitForChild(int pid, int& status, int options) {
    pid_t waited;
    do {
        waited = waitpid(pid, &status, options);
    } while (waited < 0 && errno == EINTR);
    return waited >= 0;
}

int WaitStatusToResult(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSTOPPED(status)) return 128 + WSTOPSIG(status);
    if (WIFSIGNALED(status)) return kExitSignaled;
    return kExitOSError;
}

int OpenExecutable(const std::vector<std::string>& args, ExecId* id, int& toChild, int& fromChild,
                   const ChildSetup* setup) {
    if (args.empty() || (id != nullptr && geteuid() != 0)) return -1;
    int inFds[2], outFds[2];
    if (pipe2(inFds, O_CLOEXEC) != 0) return -1;
    UniqueFd inRead(inFds[0]), inWrite(inFds[1]);
    if (pipe2(outFds, O_CLOEXEC) != 0) return -1;
    UniqueFd outRead(outFds[0]), outWrite(outFds[1]);
    // Everything the child needs is built now: between fork and exec a
    // multi-threaded parent's child may only call async-signal-safe functions.
    std::vector<char> argBuffer, envBuffer;
    std::vector<char*> argv, envp;
    FormExecArgv(args, argBuffer, argv);
    FormExecArgv(KeptEnvironment(), envBuffer, envp);
    const ExecId identity = id != nullptr ? *id : ExecId{0, 0, 0, 0, 0};
    const char* workingFolder = setup != nullptr && !setup->workingFolder.empty() ? setup->workingFolder.c_str() : nullptr;
    const bool ownGroup = setup != nullptr && setup->timeoutSeconds > 0;

    // A child whose start is recorded runs the program only once the record is made: a
    // launcher killed in between leaves no unrecorded child running, the child ends instead.
    const bool recorded = setup != nullptr && setup->started;
    if (id == nullptr && !recorded) {
        // Without a change of identity: spawned from this thread, the parent's memory shared
        // until the exec (no copy of the whole process), the same arrangements made in the child.
        pid_t pid = -1;
        if (SpawnChild(argv, envp, inRead.get(), outWrite.get(), workingFolder, ownGroup, pid) != 0) return -1;
        if (setup != nullptr && setup->started) setup->started(pid);
        toChild = inWrite.release();
        fromChild = outRead.release();
        return pid;
    }

    int goFds[2] = {-1, -1};
    if (recorded && pipe2(goFds, O_CLOEXEC) != 0) return -1;
    UniqueFd goRead(goFds[0]), goWrite(goFds[1]);
    pid_t pid = fork();
    if (pid == 0) {
        if (recorded) {
            close(goWrite.get());
            char go = 0;
            ssize_t n;
            while ((n = read(goRead.get(), &go, 1)) < 0 && errno == EINTR) {
            }
            if (n != 1) _exit(kExitOSError);
        }
        if (id != nullptr && geteuid() == 0) {
            if ((identity.flags & ExecId::kSetGid) && setgid(identity.gid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetEgid) && setegid(identity.egid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetUid) && setuid(identity.uid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetEuid) && geteuid() == 0 && seteuid(identity.euid) != 0) _exit(kExitOSError);
        }
        if (dup2(inRead.get(), STDIN_FILENO) < 0 || dup2(outWrite.get(), STDOUT_FILENO) < 0) _exit(kExitOSError);
        // Only the child moves: the parent's relative paths keep their meaning.
        if (workingFolder != nullptr && chdir(workingFolder) != 0) _exit(kExitOSError);
        // A group of its own, so that a time limit ends what it started too.
        if (ownGroup && setpgid(0, 0) != 0) _exit(kExitOSError);
        execve(argv[0], argv.data(), envp.data());
        _exit(kExitOSError);
    }
    if (pid < 0) return -1;
    goRead.reset();
    if (ownGroup) setpgid(pid, pid);  // also here: a limit may strike before the child got to it
    if (recorded) {
        setup->started(pid);
        (void)!write(goWrite.get(), "g", 1);  // without it the child ends, and its status says so
    }
    toChild = inWrite.release();
    fromChild = outRead.release();
    return pid;
}

int OpenExecutable(const std::vector<std::string>& args, int& toChild, int& fromChild) {
    return OpenExecutable(args, nullptr, toChild, fromChild);
}

int RunExecutable(const std::vector<std::string>& args, ExecId* id, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context, const ChildSetup* setup) {
    failed = false;
    int toChild = -1, fromChild = -1;
    const int pid = OpenExecutable(args, id, toChild, fromChild, setup);
    if (pid < 0) return kExitOSError;
    UniqueFd toChildFd(toChild), fromChildFd(fromChild);
    if (input != nullptr) {
        if (ignoreBrokenPipe) signal(SIGPIPE, SIG_IGN);
        unsigned long written = 0;
        while (written < inputLength) {
            ssize_t n = write(toChildFd.get(), input + written, inputLength - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            written += static_cast<unsigned long>(n);
        }
        if (written < inputLength) failed = true;
    }
    toChildFd.reset();  // the child sees the end of its input
    int status = 0;
    const ChildEnd end = AwaitChild(pid, fromChildFd, setup, output, failed, progress, context, status);
    if (end == ChildEnd::kLost) return kExitOSError;
    if (setup != nullptr && setup->timedOut != nullptr) *setup->timedOut = end == ChildEnd::kTimedOut;
    if (setup != nullptr && setup->waitStatus != nullptr) *setup->waitStatus = status;
    return end == ChildEnd::kTimedOut ? kExitTimedOut : WaitStatusToResult(status);
}

int RunExecutable(const std::vector<std::string>& args, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context) {
    return RunExecutable(args, nullptr, input, inputLength, output, failed, ignoreBrokenPipe, progress, context);
}

}  // namespace ExecUtils
