// Starting child programs with pipes, a cleaned environment and one result convention.
#ifndef EXEC_UTILS_H
#define EXEC_UTILS_H

#include <functional>
#include <string>
#include <vector>

namespace ExecUtils {

struct ExecId {
    enum { kSetUid = 1, kSetGid = 2, kSetEuid = 4, kSetEgid = 8 };
    int flags;
    unsigned uid;
    unsigned euid;
    unsigned gid;
    unsigned egid;
};

// What the child arranges between fork and exec, and how long it may run.
// No descriptor of ours survives the exec: whatever the child leaves behind (a daemon)
// holds none of our locks.
struct ChildSetup {
    std::string workingFolder;  // empty: the parent's
    int* waitStatus = nullptr;  // receives the raw wait status, so that a signal is told from a code
    unsigned timeoutSeconds = 0;  // 0: no limit; else the child's process group is ended after it
    bool* timedOut = nullptr;     // set when the limit ended the child
    // Told the child's pid as soon as it exists; the child runs the program only once this
    // has returned (and not at all when this process dies first).
    std::function<void(int pid)> started;
    // Called in the waiting thread about every tickMilliseconds while the child runs
    // (a progress counter moves without a thread of its own); 0: not called.
    std::function<void()> tick;
    unsigned tickMilliseconds = 0;
};

const int kExitOSError = 71;      // EX_OSERR
const int kExitUnavailable = 69;  // EX_UNAVAILABLE
const int kExitSignaled = 129;
const int kExitTimedOut = 124;     // the child ran past its time limit and was ended
// After the time limit: SIGTERM, then SIGKILL when the child is still there after this.
const unsigned kTimeoutGraceSeconds = 10;

// The child's pid, or -1; toChild feeds its standard input, fromChild reads its standard output.
int OpenExecutable(const std::vector<std::string>& args, ExecId* id, int& toChild, int& fromChild,
                   const ChildSetup* setup = nullptr);
int OpenExecutable(const std::vector<std::string>& args, int& toChild, int& fromChild);

// Runs the child to its end; progress, when given, receives each chunk of output.
// The run ends when the child ends, not when its output does: output still open in a
// process the child left behind is read for what is there, then let go.
int RunExecutable(const std::vector<std::string>& args, ExecId* id, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context, const ChildSetup* setup = nullptr);
int RunExecutable(const std::vector<std::string>& args, const char* input, unsigned long inputLength,
                  std::vector<char>* output, bool& failed, bool ignoreBrokenPipe, int (*progress)(std::string, void*),
                  void* context);

void FormExecArgv(const std::vector<std::string>& args, std::vector<char>& buffer, std::vector<char*>& argv);

// Waits for a child, through interruptions; false when it cannot be waited for.
bool WaitForChild(int pid, int& status, int options = 0);

// Exit status as is; 128 + signal when stopped; 129 when killed by any signal.
int WaitStatusToResult(int status);

}  // namespace ExecUtils

#endif
