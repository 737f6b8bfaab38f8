#include "ExecUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

void CloseAll(int a, int b, int c, int d) {
    for (int fd : {a, b, c, d}) {
        if (fd >= 0) close(fd);
    }
}

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

int WaitStatusToResult(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSTOPPED(status)) return 128 + WSTOPSIG(status);
    if (WIFSIGNALED(status)) return kExitSignaled;
    return kExitOSError;
}

int OpenExecutable(const std::vector<std::string>& args, ExecId* id, int& toChild, int& fromChild,
                   const ChildSetup* setup) {
    if (args.empty() || (id != nullptr && geteuid() != 0)) return -1;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return -1;
    if (pipe2(out, O_CLOEXEC) != 0) {
        CloseAll(in[0], in[1], -1, -1);
        return -1;
    }
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
        if (dup2(in[0], STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0) _exit(kExitOSError);
        // Only the child moves: the parent's relative paths keep their meaning.
        if (workingFolder != nullptr && chdir(workingFolder) != 0) _exit(kExitOSError);
        if (inheritedFd >= 0 && fcntl(inheritedFd, F_SETFD, 0) != 0) _exit(kExitOSError);
        execve(argv[0], argv.data(), envp.data());
        _exit(kExitOSError);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        CloseAll(in[1], out[0], -1, -1);
        return -1;
    }
    toChild = in[1];
    fromChild = out[0];
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
    if (input != nullptr) {
        if (ignoreBrokenPipe) signal(SIGPIPE, SIG_IGN);
        unsigned long written = 0;
        while (written < inputLength) {
            ssize_t n = write(toChild, input + written, inputLength - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            written += static_cast<unsigned long>(n);
        }
        if (written < inputLength) failed = true;
    }
    close(toChild);
    char chunk[16384];
    for (;;) {
        ssize_t n = read(fromChild, chunk, sizeof(chunk));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0) break;
        if (output != nullptr) output->insert(output->end(), chunk, chunk + n);
        if (progress != nullptr) progress(std::string(chunk, static_cast<size_t>(n)), context);
    }
    close(fromChild);
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, WUNTRACED);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) return kExitOSError;
    if (setup != nullptr && setup->waitStatus != nullptr) *setup->waitStatus = status;
    return WaitStatusToResult(status);
}

int RunExecutable(const std::vector<std::string>& args, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context) {
    return RunExecutable(args, nullptr, input, inputLength, output, failed, ignoreBrokenPipe, progress, context);
}

}  // namespace ExecUtils
