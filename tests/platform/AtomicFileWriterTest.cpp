#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "AtomicFileWriter.h"
#include "FaultyDisk.h"
#include "FileSystemUtils.h"
#include "ProcessStamp.h"
#include "TestSandbox.h"

namespace {

std::vector<std::string> Names(const std::string& folder) {
    std::vector<FileSystemPath> children;
    EXPECT_TRUE(FileSystemUtils::ChildrenForDirectory(FileSystemPath(folder), children));
    std::vector<std::string> names;
    for (const FileSystemPath& child : children) {
        const std::string path = child.AsUTF8String();
        names.push_back(path.substr(path.find_last_of('/') + 1));
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(AtomicFileWriter, WritesAndReplacesRegularFilesOnly) {
    TestSandbox box;
    std::string why;
    ASSERT_TRUE(AtomicFileWriter::Write(box / "report", "one", why)) << why;
    EXPECT_EQ("one", TestFiles::Read(box / "report"));
    struct stat st;
    ASSERT_EQ(0, lstat((box / "report").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_TRUE(AtomicFileWriter::Write(box / "report", "two", why)) << why;
    EXPECT_EQ("two", TestFiles::Read(box / "report"));

    // a link or a folder at the name is refused and left as it is
    TestFiles::Write(box / "victim", "keep");
    ASSERT_EQ(0, symlink((box / "victim").c_str(), (box / "link").c_str()));
    EXPECT_FALSE(AtomicFileWriter::Write(box / "link", "x", why));
    EXPECT_EQ("is a link", why);
    TestFiles::MakeFolders(box / "folder");
    EXPECT_FALSE(AtomicFileWriter::Write(box / "folder", "x", why));
    EXPECT_EQ("is not a regular file", why);
    EXPECT_FALSE(AtomicFileWriter::Write(box / "missing/report", "x", why));
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));
    EXPECT_EQ((std::vector<std::string>{"folder", "link", "report", "victim"}), Names(box.Path()));
}

// Whatever step fails, the old file stays whole and no temporary file is left beside it.
TEST(AtomicFileWriter, AFailingDiskLeavesTheOldFileWhole) {
    TestSandbox box;
    std::string why;
    ASSERT_TRUE(AtomicFileWriter::Write(box / "report", "old", why));
    for (FaultyDisk::Call call : {FaultyDisk::kWrite, FaultyDisk::kFsync, FaultyDisk::kClose, FaultyDisk::kRename}) {
        FaultyDisk disk;
        disk.Fail(call, call == FaultyDisk::kWrite ? ENOSPC : EIO);
        why.clear();
        EXPECT_FALSE(AtomicFileWriter::Write(box / "report", std::string(100000, 'n'), why)) << call;
        EXPECT_FALSE(why.empty()) << call;
        EXPECT_EQ(1, disk.Uses(call)) << call;
        EXPECT_EQ("old", TestFiles::Read(box / "report")) << call;
        EXPECT_EQ((std::vector<std::string>{"report"}), Names(box.Path())) << call;
    }
    FaultyDisk disk;
    disk.ShortWrites(999);
    disk.Interrupt(FaultyDisk::kWrite);
    ASSERT_TRUE(AtomicFileWriter::Write(box / "report", std::string(100000, 'n'), why)) << why;
    EXPECT_EQ(std::string(100000, 'n'), TestFiles::Read(box / "report"));
}

// A writer killed before its rename leaves its temporary file: the next write of the name
// removes it, and never one whose writer still runs.
TEST(AtomicFileWriter, TemporariesOfWritersThatAreGoneAreRemoved) {
    TestSandbox box;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    std::string own = ProcessStamp::Of(getpid());
    std::replace(own.begin(), own.end(), ' ', '-');
    const std::string dead = ".report.kavex-tmp." + std::to_string(child) + "-1-abc";
    const std::string live = ".report.kavex-tmp." + own + "-xyz";
    TestFiles::Write(box / dead, "half");
    TestFiles::Write(box / live, "being written");
    TestFiles::Write(box / ".other.kavex-tmp.1-1-abc", "another name's");
    std::string why;
    ASSERT_TRUE(AtomicFileWriter::Write(box / "report", "whole", why)) << why;
    EXPECT_EQ((std::vector<std::string>{".other.kavex-tmp.1-1-abc", live, "report"}), Names(box.Path()));
    AtomicFileWriter::RemoveStale(box / "other");
    EXPECT_EQ((std::vector<std::string>{live, "report"}), Names(box.Path()));
}

}  // namespace
