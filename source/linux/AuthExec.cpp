#include "AuthExec.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ExecUtils.h"
#include "MOQLogger.h"

extern char** environ;

namespace {
// pkexec clears the environment: what the relaunched copy needs goes along explicitly.
const char* const kPassedVariables[] = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "LANGUAGE", "LC_ALL", "LC_MESSAGES",
                                        "LANG", "KAVEX_SYSTEM_ROOT", "KAVEX_UPDATER_CLIENT", "KAVEX_UPDATER_RESULTS"};
}

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
    std::vector<std::string> args{PkexecPath(), "/usr/bin/env"};
    for (const char* name : kPassedVariables) {
        if (const char* value = getenv(name)) args.push_back(std::string(name) + "=" + value);
    }
    args.push_back(_command);
    args.insert(args.end(), _arguments.begin(), _arguments.end());
    std::vector<char> buffer;
    std::vector<char*> argv;
    ExecUtils::FormExecArgv(args, buffer, argv);
    const pid_t pid = fork();
    if (pid == 0) {
        execve(argv[0], argv.data(), environ);
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
