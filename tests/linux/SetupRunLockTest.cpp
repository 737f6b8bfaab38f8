#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
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
    EXPECT_GE(first.InheritableFd(), 0);
    EXPECT_TRUE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ(SetupRunLock::kBusy, second.Take(folder));
    EXPECT_EQ(-1, second.InheritableFd());
    first.Release();
    EXPECT_EQ(-1, first.InheritableFd());
    EXPECT_FALSE(SetupRunLock::IsHeld(folder));
    EXPECT_EQ(SetupRunLock::kTaken, second.Take(folder));
    second.Release();

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
    EXPECT_EQ(-1, first.InheritableFd());
}

}  // namespace
