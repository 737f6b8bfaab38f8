#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/sem.h>
#include <unistd.h>

#include <set>

#include "LockHolder.h"
#include "NamedLock.h"
#include "TesmidConstants.h"

namespace {

// ftok keeps only the low byte of the CRC: test names must not share it
// with the family's real locks or with each other.
std::string TestLockName(const std::string& tag) {
    std::set<uint32_t> taken;
    for (const char* real : {TesmidConstants::kSetupLockName, TesmidConstants::kBootstrapperLockName,
                             TesmidConstants::kPatchLockName}) {
        taken.insert(NamedLock::Crc32(real) & 0xFF);
    }
    for (int i = 0;; ++i) {
        std::string name = "UpdateTestLock-" + tag + "-" + std::to_string(i);
        if (taken.count(NamedLock::Crc32(name) & 0xFF) == 0) return name;
    }
}

TEST(NamedLockKey, StandardCrc32AndFtokOfTmp) {
    EXPECT_EQ(0xCBF43926u, NamedLock::Crc32("123456789"));
    EXPECT_EQ(0u, NamedLock::Crc32(""));
    int key = 0;
    ASSERT_TRUE(NamedLock::KeyForName("VORNPatchLock", key));
    EXPECT_EQ(static_cast<int>(ftok("/tmp", static_cast<int>(NamedLock::Crc32("VORNPatchLock")))), key);
}

TEST(NamedLockInProcess, SecondAcquisitionFailsAndReleaseFrees) {
    const std::string name = TestLockName("inproc");
    std::shared_ptr<NamedLock> lock;
    EXPECT_FALSE(NamedLock::IsLocked(name));
    EXPECT_FALSE(NamedLock::IsLocked(name));  // probing leaves it free
    ASSERT_TRUE(NamedLock::AcquireLock(name, lock));
    std::shared_ptr<NamedLock> second;
    EXPECT_FALSE(NamedLock::AcquireLock(name, second));
    EXPECT_EQ(nullptr, second);
    EXPECT_TRUE(NamedLock::IsLocked(name));
    lock.reset();
    EXPECT_FALSE(NamedLock::IsLocked(name));
}

TEST(NamedLockAcrossProcesses, HeldByChildAndFreedWhenChildIsKilled) {
    const std::string name = TestLockName("child");
    LockHolder holder(name);
    ASSERT_TRUE(holder.Held());
    EXPECT_TRUE(NamedLock::IsLocked(name));
    std::shared_ptr<NamedLock> mine;
    EXPECT_FALSE(NamedLock::AcquireLock(name, mine));
    holder.Release();
    EXPECT_TRUE(NamedLock::AcquireLock(name, mine));
}

TEST(NamedLockAcrossProcesses, RacingCreatorsNeverBothHoldTheLock) {
    // Each round removes the set so that all children race to create it.
    for (int round = 0; round < 20; ++round) {
        const std::string name = TestLockName("race");
        int key = 0;
        ASSERT_TRUE(NamedLock::KeyForName(name, key));
        int id = semget(key, 1, 0600);
        if (id >= 0) semctl(id, 0, IPC_RMID);
        int results[2];
        ASSERT_EQ(0, pipe(results));
        int go[2];
        ASSERT_EQ(0, pipe(go));
        int release[2];  // closed by the test once every child has answered
        ASSERT_EQ(0, pipe(release));
        std::vector<pid_t> children;
        for (int c = 0; c < 6; ++c) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                char start;
                if (read(go[0], &start, 1) != 1) _exit(2);
                std::shared_ptr<NamedLock> lock;
                char got = NamedLock::AcquireLock(name, lock) ? 'y' : 'n';
                if (write(results[1], &got, 1) != 1) _exit(2);
                close(release[1]);
                (void)!read(release[0], &start, 1);  // hold while the others try
                _exit(0);
            }
            children.push_back(pid);
        }
        if (write(go[1], "gggggg", 6) != 6) FAIL();
        int holders = 0;
        for (size_t c = 0; c < children.size(); ++c) {
            char got = 0;
            ASSERT_EQ(1, read(results[0], &got, 1));
            holders += got == 'y';
        }
        close(release[1]);
        for (pid_t pid : children) waitpid(pid, nullptr, 0);
        EXPECT_EQ(1, holders) << "round " << round;
        for (int fd : {results[0], results[1], go[0], go[1], release[0]}) close(fd);
    }
}

}  // namespace
