// Runs a program as the administrator through pkexec, and waits for it. pkexec is asked
// to run the program itself, so that the approval names it.
#ifndef AUTH_EXEC_H
#define AUTH_EXEC_H

#include <string>
#include <vector>

class AuthExec {
public:
    enum { kGranted = 0, kCancelled = 1, kFailure = 2 };

    AuthExec();
    int preAuthorize();  // 0 when pkexec is there to ask, else 2
    void setCommand(const std::string& command) { _command = command; }
    const std::string& command() const { return _command; }
    void setArguments(const std::vector<std::string>& arguments) { _arguments = arguments; }
    const std::vector<std::string>& arguments() const { return _arguments; }
    bool execute();
    int waitStatus() const { return _waitStatus; }
    // The last line the program wrote on its standard error (which also reaches ours).
    const std::string& lastErrorLine() const { return _lastErrorLine; }
    // pkexec's own answers: 126 the dialog was dismissed, 127 not authorized.
    bool wasCancelled() const;
    bool wasRefused() const;

    // The program that asks for the password; tests put their own in its place.
    static std::string PkexecPath();

private:
    bool _authorized;
    std::string _command;
    std::vector<std::string> _arguments;
    int _waitStatus;
    std::string _lastErrorLine;
};

#endif
