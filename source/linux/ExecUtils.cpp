#include "ExecUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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
    const int inheritedFd = setup != nullptr ? setup->inheritedFd : -1;

    pid_t pid = fork();
    if (pid == 0) {
        if (id != nullptr && geteuid() == 0) {
            if ((identity.flags & ExecId::kSetGid) && setgid(identity.gid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetEgid) && setegid(identity.egid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetUid) && setuid(identity.uid) != 0) _exit(kExitOSError);
            if ((identity.flags & ExecId::kSetEuid) && geteuid() == 0 && seteuid(identity.euid) != 0) _exit(kExitOSError);
        }
        if (dup2(inRead.get(), STDIN_FILENO) < 0 || dup2(outWrite.get(), STDOUT_FILENO) < 0) _exit(kExitOSError);
        // Only the child moves: the parent's relative paths keep their meaning.
        if (workingFolder != nullptr && chdir(workingFolder) != 0) _exit(kExitOSError);
        if (inheritedFd >= 0 && fcntl(inheritedFd, F_SETFD, 0) != 0) _exit(kExitOSError);
        execve(argv[0], argv.data(), envp.data());
        _exit(kExitOSError);
    }
    if (pid < 0) return -1;
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
    char chunk[16384];
    for (;;) {
        ssize_t n = read(fromChildFd.get(), chunk, sizeof(chunk));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0) break;
        if (output != nullptr) output->insert(output->end(), chunk, chunk + n);
        if (progress != nullptr) progress(std::string(chunk, static_cast<size_t>(n)), context);
    }
    fromChildFd.reset();
    int status = 0;
    if (!WaitForChild(pid, status, WUNTRACED)) return kExitOSError;
    if (setup != nullptr && setup->waitStatus != nullptr) *setup->waitStatus = status;
    return WaitStatusToResult(status);
}

int RunExecutable(const std::vector<std::string>& args, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context) {
    return RunExecutable(args, nullptr, input, inputLength, output, failed, ignoreBrokenPipe, progress, context);
}

}  // namespace ExecUtils
