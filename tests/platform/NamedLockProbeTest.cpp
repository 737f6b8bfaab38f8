#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LockHolder.h"
#include "NamedLock.h"
#include "NamedLockProbe.h"
#include "TestSandbox.h"

namespace {

// The state an ordinary user's probe sees, from a child that has dropped to nobody.
NamedLockProbe::State ProbeAsNobody(const std::string& name) {
    int answer[2];
    EXPECT_EQ(0, pipe(answer));
    const pid_t child = fork();
    if (child == 0) {
        unsigned uid = 0, gid = 0;
        if (!TestProcess::NobodyIds(uid, gid) || setgid(gid) != 0 || setuid(uid) != 0) _exit(1);
        const char state = static_cast<char>(NamedLockProbe::Probe(name).state);
        _exit(write(answer[1], &state, 1) == 1 ? 0 : 1);
    }
    close(answer[1]);
    char state = -1;
    const bool read1 = read(answer[0], &state, 1) == 1;
    close(answer[0]);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(read1);
    return static_cast<NamedLockProbe::State>(state);
}

// Runs in its own IPC namespace (the test launcher's): the family's real names are ours.
TEST(NamedLockProbe, FreeBusyWithItsHolderAndUnknownToWhoMayNotLook) {
    if (geteuid() != 0) GTEST_SKIP() << "the probe's two ways need root and an ordinary user";
    const std::string name = "VORNBootstrapperLock";
    int key = 0;
    ASSERT_TRUE(NamedLock::KeyForName(name, key));
    // The set root's probe makes goes with the test: a second run starts without one.
    struct RemovedAfterwards {
        int key;
        ~RemovedAfterwards() {
            const int id = semget(key, 1, 0);
            if (id >= 0) semctl(id, 0, IPC_RMID);
        }
    } removed{key};
    EXPECT_EQ(NamedLockProbe::kFree, ProbeAsNobody(name));  // no set: free, and none is made
    EXPECT_LT(semget(key, 1, 0), 0);
    NamedLockProbe probe = NamedLockProbe::Probe(name);
    EXPECT_EQ(name, probe.name);
    EXPECT_EQ(NamedLockProbe::kFree, probe.state);
    EXPECT_EQ(0, probe.holderPid);
    // root's set, free or not, may not be read by others: they cannot tell
    EXPECT_EQ(NamedLockProbe::kUnknown, ProbeAsNobody(name));

    {
        LockHolder holder(name);
        ASSERT_TRUE(holder.Held());
        probe = NamedLockProbe::Probe(name);
        EXPECT_EQ(NamedLockProbe::kBusy, probe.state);
        EXPECT_EQ(holder.Pid(), probe.holderPid);
        EXPECT_EQ(TestFiles::Lines(TestFiles::Read("/proc/" + std::to_string(holder.Pid()) + "/comm"))[0], probe.holderName);
    }
    probe = NamedLockProbe::Probe(name);
    EXPECT_EQ(NamedLockProbe::kFree, probe.state);
    EXPECT_EQ(0, probe.holderPid);
    EXPECT_TRUE(probe.holderName.empty());
    // root's probe takes and gives back: the lock is free afterwards
    EXPECT_FALSE(NamedLock::IsLocked(name));
}

}  // namespace
