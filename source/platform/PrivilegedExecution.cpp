#include "PrivilegedExecution.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "CappedOutputLog.h"
#include "ExecUtils.h"
#include "MOQLogger.h"

namespace {

struct threadData {
    std::vector<std::string> mArgs;
    ExecUtils::ChildSetup mSetup;
    std::atomic<bool> mDone{false};
    std::atomic<int> mExitCode{0};
    // Wakes the animating caller at once when the child ends, instead of at its next tick.
    std::mutex mMutex;
    std::condition_variable mEnded;

    void Tick() {
        std::unique_lock<std::mutex> lock(mMutex);
        mEnded.wait_for(lock, std::chrono::milliseconds(10), [this] { return mDone.load(); });
    }
};

std::mutex gExecutorMutex;
FileSystemUtils::PrivilegedExecutor gExecutor;

// In the calling thread: the child is spawned and waited for here.
int RunAsRoot(const std::vector<std::string>& args, ExecUtils::ChildSetup& setup) {
    // The setup's output goes to the log as it comes, bounded, never whole into memory.
    CappedOutputLog output;
    bool failed = false;
    const int status = ExecUtils::RunExecutable(args, nullptr, nullptr, 0, nullptr, failed, true, &CappedOutputLog::Receive,
                                                &output, &setup);
    output.Finish();
    MOQ_LOG("Launched the main Setup as 0\n");
    if (status == ExecUtils::kExitTimedOut && setup.timedOut != nullptr && *setup.timedOut) {
        MOQ_LOG("The setup ran past its time limit of %u seconds and was ended\n", setup.timeoutSeconds);
        return ExecUtils::kExitTimedOut;
    }
    return status == 0 ? 0 : ExecUtils::kExitOSError;
}

// One step of the counter: up to limit - 1, then from start again.
void Advance(ProgressCounter& counter, int start, int limit) {
    const int value = counter.Percent();
    counter.SetPercent(value < limit - 1 ? value + 1 : start);
}

}  // namespace

namespace FileSystemUtils {

void SetPrivilegedExecutor(PrivilegedExecutor executor) {
    std::lock_guard<std::mutex> guard(gExecutorMutex);
    gExecutor = executor;
}

void* RunApplicationWithPriviligesImpl(void* data) {
    threadData& thread = *static_cast<threadData*>(data);
    MOQ_LOG("Called FileSystemUtils::RunApplicationWithPriviligesImpl\n");
    int result = 0;
    if (geteuid() != 0) {
        PrivilegedExecutor executor;
        {
            std::lock_guard<std::mutex> guard(gExecutorMutex);
            executor = gExecutor;
        }
        int waitStatus = -1;
        const std::vector<std::string> arguments(thread.mArgs.begin() + (thread.mArgs.empty() ? 0 : 1), thread.mArgs.end());
        if (executor && !thread.mArgs.empty() && executor(thread.mArgs[0], arguments, waitStatus)) {
            MOQ_LOG("Launched the main Setup using selfAuthExec\n");
            if (thread.mSetup.waitStatus != nullptr) *thread.mSetup.waitStatus = waitStatus;
            result = ExecUtils::WaitStatusToResult(waitStatus);
            if (WIFEXITED(waitStatus)) {
                MOQ_LOG("Error WEXITSTATUS : %d\n", result);
            } else if (WIFSTOPPED(waitStatus)) {
                MOQ_LOG("Error WIFSTOPPED: %d\n", result);
            } else {
                MOQ_LOG("Error WIFSIGNALED : %d\n", result);
            }
        } else {
            result = ExecUtils::kExitUnavailable;
            MOQ_LOG("Error EX_UNAVAILABLE: %d\n", result);
        }
    } else {
        result = RunAsRoot(thread.mArgs, thread.mSetup);
    }
    thread.mExitCode = result;
    {
        std::lock_guard<std::mutex> lock(thread.mMutex);
        thread.mDone = true;
    }
    thread.mEnded.notify_all();
    MOQ_LOG("Returning from FileSystemUtils::RunApplicationWithPriviligesImpl with exitCode %d\n", result);
    return nullptr;
}

int RunApplicationWithPrivileges(std::vector<std::string>& args, ProgressCounter* progress, int start, int limit,
                                 const ExecUtils::ChildSetup* setup) {
    MOQ_LOG("Called FileSystemUtils::RunApplicationWithPrivileges\n");
    signal(SIGPIPE, SIG_IGN);
    AtomicProgressCounter local;
    ProgressCounter& counter = progress != nullptr ? *progress : local;
    counter.SetPercent(start);
    int exitCode = 0;
    if (geteuid() == 0) {
        // No thread of its own: the counter moves from the wait for the child.
        ExecUtils::ChildSetup child = setup != nullptr ? *setup : ExecUtils::ChildSetup();
        child.tick = [&counter, start, limit] { Advance(counter, start, limit); };
        child.tickMilliseconds = 10;
        MOQ_LOG("Called FileSystemUtils::RunApplicationWithPriviligesImpl\n");
        exitCode = RunAsRoot(args, child);
        MOQ_LOG("Returning from FileSystemUtils::RunApplicationWithPriviligesImpl with exitCode %d\n", exitCode);
    } else {
        // The executor (an authorization prompt and its wait) blocks: the counter moves beside it.
        threadData data;
        data.mArgs = args;
        if (setup != nullptr) data.mSetup = *setup;
        std::thread worker(RunApplicationWithPriviligesImpl, &data);
        while (!data.mDone) {
            const int value = counter.Percent();
            if (value < limit - 1) {
                counter.SetPercent(value + 1);
                data.Tick();
            } else {
                counter.SetPercent(start);
                // A range of one value would otherwise spin without pause.
                if (limit - 1 <= start) data.Tick();
            }
        }
        worker.join();
        exitCode = data.mExitCode;
    }
    MOQ_LOG("Returning from FileSystemUtils::RunApplicationWithPrivileges with exitCode %d\n", exitCode);
    return exitCode;
}

}  // namespace FileSystemUtils
