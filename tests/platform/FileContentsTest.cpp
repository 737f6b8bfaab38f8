#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "FaultyDisk.h"
#include "FileContents.h"
#include "TestSandbox.h"
#include "UniqueFd.h"

namespace {

UniqueFd OpenRead(const std::string& path) { return UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC)); }
UniqueFd Create(const std::string& path) { return UniqueFd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)); }

TEST(FileContentsWrite, EveryByteThroughShortAndInterruptedWritesOrAFailure) {
    TestSandbox box;
    const std::string text(10000, 'w');
    {
        FaultyDisk disk;
        disk.ShortWrites(7);
        disk.Interrupt(FaultyDisk::kWrite);
        UniqueFd out = Create(box / "whole");
        EXPECT_TRUE(FileContents::WriteAll(out.get(), text));
        EXPECT_GT(disk.Uses(FaultyDisk::kWrite), 2000);
    }
    EXPECT_EQ(text, TestFiles::Read(box / "whole"));
    for (int error : {ENOSPC, EIO}) {
        FaultyDisk disk;
        disk.ShortWrites(4000);
        disk.Fail(FaultyDisk::kWrite, error, 2);
        UniqueFd out = Create(box / "part");
        errno = 0;
        EXPECT_FALSE(FileContents::WriteAll(out.get(), text));
        EXPECT_EQ(error, errno);
        EXPECT_EQ(3, disk.Uses(FaultyDisk::kWrite));
    }
}

TEST(FileContentsCopy, AFileThatChangedSinceItWasMeasuredIsCopiedWhole) {
    TestSandbox box;
    const std::string text = std::string(5000, 'a') + std::string(5000, 'b');
    TestFiles::Write(box / "source", text);
    for (off_t hint : {off_t(0), off_t(100), off_t(10000), off_t(20000)}) {
        UniqueFd in = OpenRead(box / "source");
        UniqueFd out = Create(box / "copy");
        EXPECT_TRUE(FileContents::Copy(in.get(), out.get(), hint)) << hint;
        EXPECT_EQ(text, TestFiles::Read(box / "copy")) << hint;
    }
    // without the kernel's copy, and with every read interrupted once
    {
        FaultyDisk disk;
        disk.Fail(FaultyDisk::kCopyRange, ENOSYS);
        disk.Interrupt(FaultyDisk::kRead);
        UniqueFd in = OpenRead(box / "source");
        UniqueFd out = Create(box / "copy");
        EXPECT_TRUE(FileContents::Copy(in.get(), out.get(), 10000));
    }
    EXPECT_EQ(text, TestFiles::Read(box / "copy"));
    // a read that fails is a failed copy, at the first read or after the kernel's copy
    for (int reads : {0, 1}) {
        FaultyDisk disk;
        if (reads == 0) disk.Fail(FaultyDisk::kCopyRange, EXDEV);
        disk.Fail(FaultyDisk::kRead, EIO);
        UniqueFd in = OpenRead(box / "source");
        UniqueFd out = Create(box / "copy");
        EXPECT_FALSE(FileContents::Copy(in.get(), out.get(), 10000)) << reads;
    }
}

}  // namespace
