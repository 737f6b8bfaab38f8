#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SetupRunLock.h"
#include "TestSandbox.h"

namespace {

TEST(SetupRunLock, OneHolderAtATimeAndNeverThroughALink) {
    TestSandbox box;
    const std::string folder = box / "Installers/{S1}";
    TestFiles::MakeFolders(folder);
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    EXPECT_FALSE(TestFiles::Exists(folder + "/" + SetupRunLock::kFileName));  // asking creates nothing

    SetupRunLock first, second;
    ASSERT_EQ(SetupRunLock::kTaken, first.Take(folder));
    EXPECT_TRUE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ(SetupRunLock::kBusy, second.Take(folder));
    first.Release();
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ(SetupRunLock::kTaken, second.Take(folder));

    // The recorded setup keeps the folder while it runs, though its launcher let go; once it has
    // ended it is free, also while it waits as a zombie to be reaped.
    int release[2];
    ASSERT_EQ(0, pipe2(release, O_CLOEXEC));
    const pid_t setup = fork();
    if (setup == 0) {
        close(release[1]);
        char end;
        (void)!read(release[0], &end, 1);  // returns when the test lets go, or dies
        _exit(0);
    }
    close(release[0]);
    second.NoteSetup(setup);
    second.Release();
    EXPECT_TRUE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ(SetupRunLock::kBusy, first.Take(folder));
    close(release[1]);
    siginfo_t ended;
    ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(setup), &ended, WEXITED | WNOWAIT));
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    waitpid(setup, nullptr, 0);
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    ASSERT_EQ(SetupRunLock::kTaken, first.Take(folder));
    // A record of a pid now used by another process (its start time differs) holds nothing.
    TestFiles::Write(folder + "/" + SetupRunLock::kFileName, std::to_string(getpid()) + " 1\n");
    first.Release();
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));

    // a link planted at the lock file, or anything but a regular file, is no lock
    const std::string lockFile = folder + "/" + SetupRunLock::kFileName;
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    TestFiles::Write(box / "victim", "keep");
    ASSERT_EQ(0, symlink((box / "victim").c_str(), lockFile.c_str()));
    EXPECT_EQ(SetupRunLock::kFailed, first.Take(folder));
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    ASSERT_EQ(0, mkfifo(lockFile.c_str(), 0600));
    EXPECT_EQ(SetupRunLock::kFailed, first.Take(folder));  // and no wait on a pipe
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));

    // a folder reached through a link is refused, as is a missing one
    ASSERT_EQ(0, symlink(folder.c_str(), (box / "linked").c_str()));
    EXPECT_EQ(SetupRunLock::kFailed, first.Take(box / "linked"));
    EXPECT_EQ(SetupRunLock::kFailed, first.Take(box / "missing"));
}

}  // namespace
