#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "ExecUtils.h"
#include "MOQLogger.h"
#include "PrivilegedExecution.h"
#include "TestSandbox.h"

namespace {

int RunChild(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<char> buffer;
    bool failed = true;
    const int result = ExecUtils::RunExecutable(args, nullptr, 0, &buffer, failed, true, nullptr, nullptr);
    EXPECT_FALSE(failed);
    if (output) output->assign(buffer.begin(), buffer.end());
    return result;
}

TEST(ExecUtils, ArgvIsPackedWithTerminators) {
    std::vector<char> buffer;
    std::vector<char*> argv;
    ExecUtils::FormExecArgv({"/bin/x", "", "a b"}, buffer, argv);
    EXPECT_EQ(std::string("/bin/x\0\0a b\0", 12), std::string(buffer.begin(), buffer.end()));
    ASSERT_EQ(4u, argv.size());
    EXPECT_STREQ("a b", argv[2]);
    EXPECT_EQ(nullptr, argv[3]);
}

TEST(ExecUtils, ResultsByWaitStatus) {
    EXPECT_EQ(0, RunChild({"/bin/true"}));
    EXPECT_EQ(3, RunChild({"/bin/sh", "-c", "exit 3"}));
    EXPECT_EQ(129, RunChild({"/bin/sh", "-c", "kill -9 $$"}));
    EXPECT_EQ(129, RunChild({"/bin/sh", "-c", "kill -TERM $$"}));
    EXPECT_EQ(71, RunChild({"/nonexistent/program"}));
    // a stopped child reports 128 + the stop signal; it is killed afterwards
    int toChild = -1, fromChild = -1;
    const int pid = ExecUtils::OpenExecutable({"/bin/sleep", "30"}, toChild, fromChild);
    ASSERT_GT(pid, 0);
    kill(pid, SIGSTOP);
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
    EXPECT_EQ(128 + SIGSTOP, ExecUtils::WaitStatusToResult(status));
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(toChild);
    close(fromChild);
    EXPECT_EQ(-1, ExecUtils::OpenExecutable({}, toChild, fromChild));
}

// A child whose start is recorded is still this program, before its exec, while the record
// is made: a launcher killed before it leaves no unrecorded child running.
TEST(ExecUtils, ARecordedChildRunsOnlyOnceItIsRecorded) {
    char self[4096] = "";
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string seen;
    ExecUtils::ChildSetup setup;
    setup.started = [&seen](int pid) {
        char exe[4096] = "";
        const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof(exe) - 1);
        seen.assign(exe, n > 0 ? static_cast<size_t>(n) : 0);
    };
    bool failed = true;
    EXPECT_EQ(3, ExecUtils::RunExecutable({"/bin/sh", "-c", "exit 3"}, nullptr, nullptr, 0, nullptr, failed, true,
                                          nullptr, nullptr, &setup));
    EXPECT_EQ(std::string(self), seen);

    // The launcher dies while it records: the child ends without running the program.
    TestSandbox box;
    const std::string ran = box / "ran";
    int report[2];
    ASSERT_EQ(0, pipe(report));
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // the orphan comes here
    const pid_t launcher = fork();
    if (launcher == 0) {
        ExecUtils::ChildSetup dying;
        dying.started = [&report](int pid) { _exit(write(report[1], &pid, sizeof(pid)) == sizeof(pid) ? 0 : 1); };
        bool lost = false;
        ExecUtils::RunExecutable({"/bin/sh", "-c", "echo > \"$0\"", ran}, nullptr, nullptr, 0, nullptr, lost, true, nullptr,
                                 nullptr, &dying);
        _exit(2);
    }
    close(report[1]);
    int child = 0, status = 0;
    EXPECT_EQ(static_cast<ssize_t>(sizeof(child)), read(report[0], &child, sizeof(child)));
    close(report[0]);
    waitpid(launcher, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    ASSERT_GT(child, 0);
    ASSERT_EQ(child, waitpid(child, &status, 0));
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_EQ(ExecUtils::kExitOSError, WEXITSTATUS(status));
    EXPECT_FALSE(TestFiles::Exists(ran));
}

TEST(ExecUtils, ChildSeesOnlyTheTwoKeptVariablesAndGetsItsInput) {
    setenv("__CF_USER_TEXT_ENCODING", "0x0:0:0", 1);
    setenv("SECRET_TOKEN", "leak", 1);
    std::string output;
    EXPECT_EQ(0, RunChild({"/usr/bin/env"}, &output));
    EXPECT_EQ("__CF_USER_TEXT_ENCODING=0x0:0:0\n", output);
    unsetenv("__CF_USER_TEXT_ENCODING");
    unsetenv("SECRET_TOKEN");

    std::vector<char> echoed;
    bool failed = true;
    const std::string input = "line one\nline two\n";
    EXPECT_EQ(0, ExecUtils::RunExecutable({"/bin/cat"}, nullptr, input.data(), input.size(), &echoed, failed, true, nullptr, nullptr));
    EXPECT_EQ(input, std::string(echoed.begin(), echoed.end()));
}

TEST(ExecUtils, IdentityDropsTheChildsRights) {
    unsigned uid = 0, gid = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(uid, gid));
    ExecUtils::ExecId id{ExecUtils::ExecId::kSetGid | ExecUtils::ExecId::kSetUid, uid, uid, gid, gid};
    std::vector<char> output;
    bool failed = false;
    EXPECT_EQ(0, ExecUtils::RunExecutable({"/usr/bin/id", "-u"}, &id, nullptr, 0, &output, failed, true, nullptr, nullptr));
    EXPECT_EQ(std::to_string(uid) + "\n", std::string(output.begin(), output.end()));
}

TEST(PrivilegedRun, AsRootTheChildsFailureBecomes71AndTheCounterMoves) {
    TestSandbox box;
    MOQ_Logger_StartAt((box / "log").c_str(), false);
    AtomicProgressCounter progress;
    // The child runs until the watcher has seen the counter move, and lets it go.
    const std::string moved = box / "moved";
    ASSERT_EQ(0, mkfifo(moved.c_str(), 0600));
    std::vector<std::string> ok{"/bin/sh", "-c", "exec cat \"$0\" >/dev/null", moved};
    std::atomic<int> highest{0};
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        bool released = false;
        while (watching) {
            highest = std::max(highest.load(), progress.Percent());
            if (released || highest <= 10) continue;
            const int fd = open(moved.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // fails until cat reads
            if (fd >= 0) released = close(fd) == 0;
        }
    });
    EXPECT_EQ(0, FileSystemUtils::RunApplicationWithPrivileges(ok, &progress, 10, 20));
    watching = false;
    watcher.join();
    EXPECT_GT(highest.load(), 10);
    EXPECT_LE(highest.load(), 19);
    std::vector<std::string> failing{"/bin/sh", "-c", "exit 3"};
    EXPECT_EQ(71, FileSystemUtils::RunApplicationWithPrivileges(failing, &progress, 0, 1));
    EXPECT_EQ(0, progress.Percent());  // a range of one value stays at its start
    MOQ_Logger_End();
    const std::string log = TestFiles::Read(box / "log");
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Launched the main Setup as 0\n"));
    EXPECT_NE(std::string::npos, log.find("Returning from FileSystemUtils::RunApplicationWithPrivileges with exitCode 71\n"));
}

TEST(PrivilegedRun, WithoutRootAndWithoutAnExecutorItEndsWith69) {
    TestSandbox box;
    const std::string log = box / "log";
    chmod(box.Path().c_str(), 0777);
    pid_t pid = fork();
    if (pid == 0) {
        unsigned uid, gid;
        if (!TestProcess::NobodyIds(uid, gid) || setgid(gid) != 0 || setuid(uid) != 0) _exit(100);
        MOQ_Logger_StartAt(log.c_str(), false);
        std::vector<std::string> args{"/bin/true"};
        const int result = FileSystemUtils::RunApplicationWithPrivileges(args, nullptr, 0, 99);
        MOQ_Logger_End();
        _exit(result);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(69, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("MOQ: _info_: Error EX_UNAVAILABLE: 69\n"));
}

}  // namespace
