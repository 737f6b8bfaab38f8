#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FaultyDisk.h"
#include "LaunchUndo.h"
#include "LinkSafeTree.h"
#include "ScopedDir.h"
#include "TestSandbox.h"
#include "UniqueFd.h"

namespace {

struct stat Stat(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

void SetTimes(const std::string& path, time_t seconds, long nanoseconds) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

class Tree : public ::testing::Test {
protected:
    void SetUp() override {
        TestFiles::MakeFolders(box / "from");
        TestFiles::MakeFolders(box / "to");
        from = UniqueFd(LinkSafeTree::OpenFolder(box / "from"));
        to = UniqueFd(LinkSafeTree::OpenFolder(box / "to"));
        ASSERT_TRUE(from.valid() && to.valid());
    }
    // The folder copy, which must give these counts and no failure.
    void CopyAllExpecting(size_t copied, size_t skipped) {
        LinkSafeTree::Outcome outcome;
        LinkSafeTree::CopyChildren(from.get(), to.get(), "", "to", outcome);
        EXPECT_TRUE(outcome.failures.empty());
        EXPECT_EQ(copied, outcome.copied);
        EXPECT_EQ(skipped, outcome.skipped);
    }
    bool Copy(const std::string& name, bool keepTargetAttributes, std::string& why, bool* skipped = nullptr) {
        return LinkSafeTree::CopyEntryAt(from.get(), name, to.get(), name, keepTargetAttributes, true, why, skipped);
    }
    TestSandbox box;
    UniqueFd from, to;
};

// A link at the target has no attributes worth keeping: the file that replaces it
// gets its own mode, never the link's 0777, and what the link named is untouched.
TEST_F(Tree, AFileCopiedOverALinkTakesItsOwnModeNotTheLinks) {
    TestFiles::Write(box / "from/tool", "new");
    ASSERT_EQ(0, chmod((box / "from/tool").c_str(), 0640));
    TestFiles::Write(box / "victim", "keep");
    ASSERT_EQ(0, chmod((box / "victim").c_str(), 0600));
    ASSERT_EQ(0, symlink((box / "victim").c_str(), (box / "to/tool").c_str()));
    std::string why;
    ASSERT_TRUE(Copy("tool", true, why)) << why;
    const struct stat st = Stat(box / "to/tool");
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("new", TestFiles::Read(box / "to/tool"));
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));
    EXPECT_EQ(0600u, Stat(box / "victim").st_mode & 07777);

    // over a regular file the old file's attributes stay when asked to
    TestFiles::Write(box / "to/kept", "old");
    ASSERT_EQ(0, chmod((box / "to/kept").c_str(), 0604));
    TestFiles::Write(box / "from/kept", "newer");
    ASSERT_TRUE(Copy("kept", true, why)) << why;
    EXPECT_EQ(0604u, Stat(box / "to/kept").st_mode & 07777);
    EXPECT_EQ("newer", TestFiles::Read(box / "to/kept"));
}

// Same size and same second is not the same file: a change within the second is copied.
TEST_F(Tree, OnlyTheSameSizeAndTimeToTheNanosecondIsSkipped) {
    TestFiles::Write(box / "from/data", "fresh");
    TestFiles::Write(box / "to/data", "stale");
    SetTimes(box / "from/data", 1700000000, 500);
    SetTimes(box / "to/data", 1700000000, 400);
    CopyAllExpecting(1, 0);
    EXPECT_EQ("fresh", TestFiles::Read(box / "to/data"));

    // now the same to the nanosecond: kept as is, even when the bytes differ
    TestFiles::Write(box / "to/data", "other");
    SetTimes(box / "to/data", 1700000000, 500);
    CopyAllExpecting(0, 1);
    EXPECT_EQ("other", TestFiles::Read(box / "to/data"));

    // the same time with another size is copied
    TestFiles::Write(box / "to/data", "longer text");
    SetTimes(box / "to/data", 1700000000, 500);
    std::string why;
    bool skipped = true;
    ASSERT_TRUE(Copy("data", false, why, &skipped)) << why;
    EXPECT_FALSE(skipped);
    EXPECT_EQ("fresh", TestFiles::Read(box / "to/data"));
}

// A full or failing disk: the copy fails with the reason, and no half file is left.
TEST_F(Tree, ADiskThatFailsLeavesNoHalfFileAndSaysWhy) {
    TestFiles::Write(box / "from/big", std::string(3 << 20, 'b'));
    std::string why;
    {
        FaultyDisk disk;
        disk.Fail(FaultyDisk::kCopyRange, ENOSPC);
        disk.Fail(FaultyDisk::kWrite, ENOSPC, 1);
        EXPECT_FALSE(Copy("big", false, why));
        EXPECT_EQ(2, disk.Uses(FaultyDisk::kWrite));
    }
    EXPECT_EQ("write: " + std::string(strerror(ENOSPC)), why);
    EXPECT_FALSE(TestFiles::Exists(box / "to/big"));

    // a close that reports a lost write (as NFS does) fails the copy too
    {
        FaultyDisk disk;
        disk.Fail(FaultyDisk::kClose, EIO);
        why.clear();
        EXPECT_FALSE(Copy("big", false, why));
    }
    EXPECT_EQ("write: " + std::string(strerror(EIO)), why);
    EXPECT_FALSE(TestFiles::Exists(box / "to/big"));

    // interrupted calls and short writes still copy every byte
    {
        FaultyDisk disk;
        disk.Fail(FaultyDisk::kCopyRange, EXDEV);
        disk.Interrupt(FaultyDisk::kRead);
        disk.Interrupt(FaultyDisk::kWrite);
        disk.ShortWrites(4093);
        ASSERT_TRUE(Copy("big", false, why)) << why;
        EXPECT_GT(disk.Uses(FaultyDisk::kWrite), 1000);
    }
    EXPECT_EQ(std::string(3 << 20, 'b'), TestFiles::Read(box / "to/big"));
}

// A staged copy changes nothing in place until it is committed; every file and folder it wrote
// is on disk before the commit's renames can refer to it; the undo of a journal, as the next run
// finds it, leaves the target byte for byte as it was.
TEST_F(Tree, StagedCopiesAreSyncedBeforeTheyCountAndTakenBackWhole) {
    TestFiles::Write(box / "from/a.data", "new a");
    TestFiles::Write(box / "from/sub/b.data", "new b");
    TestFiles::Write(box / "from/sub/deeper/c.data", "new c");
    TestFiles::Write(box / "from/skip.txt", "not asked for");
    TestFiles::Write(box / "to/a.data", "old a");
    TestFiles::MakeFolders(box / "journals");
    LaunchUndo::Journal header;
    header.token = LaunchUndo::NewToken();
    header.code = "{P}";
    header.session = "{S}";
    header.setupFolder = box / "to";
    header.roots = {box / "to"};
    std::string why;
    {
        LaunchUndo undo(box / "journals", header);
        ASSERT_TRUE(undo.Begin(why)) << why;
        FaultyDisk disk;
        LinkSafeTree::Outcome outcome;
        ASSERT_TRUE(undo.Copies().CopyChildren(box / "from", box / "to", ".data", outcome));
        EXPECT_EQ(5, disk.Uses(FaultyDisk::kFsync));  // three files, the new folder and the one inside it
        EXPECT_EQ("old a", TestFiles::Read(box / "to/a.data"));
        EXPECT_FALSE(TestFiles::Exists(box / "to/sub"));
        ASSERT_TRUE(undo.Commit(why)) << why;
        EXPECT_EQ(5 + 3, disk.Uses(FaultyDisk::kFsync));  // the journal, its folder, the folder renamed into
        EXPECT_EQ("new a", TestFiles::Read(box / "to/a.data"));
        EXPECT_EQ("new c", TestFiles::Read(box / "to/sub/deeper/c.data"));
        EXPECT_FALSE(TestFiles::Exists(box / "to/skip.txt"));
        // The next run, after a crash here, finds the journal and takes it all back.
        const std::vector<std::string> pending = LaunchUndo::Pending(box / "journals");
        ASSERT_EQ(1u, pending.size());
        LaunchUndo::Journal left;
        ASSERT_TRUE(LaunchUndo::Read(pending[0], left, why)) << why;
        EXPECT_TRUE(left.committed);
        EXPECT_EQ(2u, left.entries.size());
        ASSERT_TRUE(LaunchUndo::Finish(pending[0], left, false, why)) << why;
        EXPECT_EQ("old a", TestFiles::Read(box / "to/a.data"));
        EXPECT_FALSE(TestFiles::Exists(box / "to/sub"));
    }  // the launch's own undo, replayed over a finished one, changes nothing
    EXPECT_EQ("old a", TestFiles::Read(box / "to/a.data"));
    std::vector<std::string> names;
    ScopedDir listing(to.get());
    ASSERT_TRUE(listing.Names(names));
    EXPECT_EQ(std::vector<std::string>{"a.data"}, names);
    EXPECT_TRUE(LaunchUndo::Pending(box / "journals").empty());
}

}  // namespace
