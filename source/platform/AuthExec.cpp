#include "AuthExec.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "ExecUtils.h"
#include "FileContents.h"
#include "MOQLogger.h"
#include "UniqueFd.h"

extern char** environ;

namespace {
// pkexec's own environment, without what would redirect the copy it starts: pkexec clears
// it for that copy anyway, and a stand-in must not learn to rely on it.
std::vector<std::string> EnvironmentForPkexec() {
    std::vector<std::string> kept;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (strncmp(*entry, "KAVEX_", 6) != 0) kept.push_back(*entry);
    }
    return kept;
}
}  // namespace

AuthExec::AuthExec() : _authorized(false), _waitStatus(-1) {}

std::string AuthExec::PkexecPath() {
    const char* custom = getenv("KAVEX_PKEXEC");
    return custom != nullptr && custom[0] == '/' ? custom : "/usr/bin/pkexec";
}

int AuthExec::preAuthorize() {
    if (access(PkexecPath().c_str(), X_OK) != 0) {
        MOQ_LOG("Unable to create authorization (%d)\n", errno);
        return kFailure;
    }
    _authorized = true;
    return kGranted;
}

bool AuthExec::execute() {
    if (!_authorized) {
        MOQ_LOG("Must authorize before execution\n");
        return false;
    }
    if (_command.empty()) {
        MOQ_LOG("No command specified\n");
        return false;
    }
    // The program itself, so that the approval names it; what its copy may use goes as
    // arguments, which that copy checks again.
    std::vector<std::string> args{PkexecPath(), _command};
    args.insert(args.end(), _arguments.begin(), _arguments.end());
    std::vector<char> buffer, envBuffer;
    std::vector<char*> argv, envp;
    ExecUtils::FormExecArgv(args, buffer, argv);
    ExecUtils::FormExecArgv(EnvironmentForPkexec(), envBuffer, envp);
    // Its standard error passes through a pipe, so that the last line it said (why the
    // machine's entry refused the bundle, say) is at hand when it ends.
    int errors[2] = {-1, -1};
    if (pipe2(errors, O_CLOEXEC) != 0) errors[0] = errors[1] = -1;
    UniqueFd readEnd(errors[0]), writeEnd(errors[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        if (writeEnd.valid()) dup2(writeEnd.get(), STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(ExecUtils::kExitOSError);
    }
    writeEnd.reset();
    if (pid < 0) {
        MOQ_LOG("AuthorizationExecuteWithPrivileges failed with status: %d\n", errno);
        return false;
    }
    std::atomic<bool> ended(false);
    std::string said;
    std::thread relay([&] {
        // What the copy writes goes on to this process's standard error as it comes. Once the
        // copy has ended, what is still there is read, and nothing waits for a writer that its
        // children may hold open.
        char chunk[4096];
        for (;;) {
            struct pollfd ready = {readEnd.get(), POLLIN, 0};
            const int n = readEnd.valid() ? poll(&ready, 1, ended ? 0 : 100) : -1;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (ended || n < 0) return;
                continue;
            }
            const ssize_t got = read(readEnd.get(), chunk, sizeof(chunk));
            if (got <= 0) return;
            FileContents::WriteAll(STDERR_FILENO, chunk, static_cast<size_t>(got));
            said.append(chunk, static_cast<size_t>(got));
            if (said.size() > 8192) said.erase(0, said.size() - 8192);
        }
    });
    int status = 0;
    const bool waited = ExecUtils::WaitForChild(pid, status);
    const int waitError = errno;
    ended = true;
    relay.join();
    while (!said.empty() && said.back() == '\n') said.pop_back();
    _lastErrorLine = said.substr(said.find_last_of('\n') == std::string::npos ? 0 : said.find_last_of('\n') + 1);
    if (!waited) {
        MOQ_LOG("wait failed with error: %d\n", waitError);
        _waitStatus = -1;
        return false;
    }
    _waitStatus = status;
    return true;
}

bool AuthExec::wasCancelled() const { return _waitStatus >= 0 && WIFEXITED(_waitStatus) && WEXITSTATUS(_waitStatus) == 126; }

bool AuthExec::wasRefused() const { return _waitStatus >= 0 && WIFEXITED(_waitStatus) && WEXITSTATUS(_waitStatus) == 127; }
