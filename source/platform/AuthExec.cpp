#include "AuthExec.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ExecUtils.h"
#include "MOQLogger.h"

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
    const pid_t pid = fork();
    if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(ExecUtils::kExitOSError);
    }
    if (pid < 0) {
        MOQ_LOG("AuthorizationExecuteWithPrivileges failed with status: %d\n", errno);
        return false;
    }
    int status = 0;
    if (!ExecUtils::WaitForChild(pid, status)) {
        MOQ_LOG("wait failed with error: %d\n", errno);
        _waitStatus = -1;
        return false;
    }
    _waitStatus = status;
    return true;
}

bool AuthExec::wasCancelled() const { return _waitStatus >= 0 && WIFEXITED(_waitStatus) && WEXITSTATUS(_waitStatus) == 126; }

bool AuthExec::wasRefused() const { return _waitStatus >= 0 && WIFEXITED(_waitStatus) && WEXITSTATUS(_waitStatus) == 127; }
