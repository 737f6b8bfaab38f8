#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PayloadsManagerUtils.h"
#include "TestSandbox.h"

namespace {

using namespace PayloadsManagerUtils;

TEST(BlindCopy, ExtensionsTakesOnlyFilesEndingWithTheSuffix) {
    TestSandbox box;
    for (const char* name : {"a.data", "a.dat", "a.DATA", ".data", "sub/b.data", "sub/c.txt"}) TestFiles::Write(box / "src/" + name, name);
    TestFiles::MakeFolders(box / "src/empty");
    EXPECT_TRUE(BlindCopyExtensions(FileSystemPath(box / "src"), FileSystemPath(box / "dst"), ".data"));
    EXPECT_EQ("a.data", TestFiles::Read(box / "dst/a.data"));
    EXPECT_EQ("sub/b.data", TestFiles::Read(box / "dst/sub/b.data"));
    for (const char* skipped : {"a.dat", "a.DATA", ".data", "sub/c.txt"}) EXPECT_FALSE(TestFiles::Exists(box / "dst/" + skipped)) << skipped;
    EXPECT_TRUE(TestFiles::Exists(box / "dst/empty"));
}

void SetTimes(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

TEST(BlindCopy, FolderCopiesTreesReplacesChangedFilesAndKeepsTheSame) {
    TestSandbox box;
    TestFiles::Write(box / "src/x/y/z.txt", "new");
    TestFiles::Write(box / "dst/x/y/z.txt", "old");
    SetTimes(box / "dst/x/y/z.txt", 1000);
    EXPECT_TRUE(BlindCopyFolder(FileSystemPath(box / "src"), FileSystemPath(box / "dst")));
    EXPECT_EQ("new", TestFiles::Read(box / "dst/x/y/z.txt"));
    EXPECT_TRUE(BlindCopyFolder(FileSystemPath(box / "missing"), FileSystemPath(box / "created")));
    EXPECT_FALSE(TestFiles::Exists(box / "created"));

    // same size and time at the target: taken as already copied; any difference copies
    TestFiles::Write(box / "src/same.data", "abc");
    TestFiles::Write(box / "dst/same.data", "xyz");
    TestFiles::Write(box / "src/newer.data", "abc");
    TestFiles::Write(box / "dst/newer.data", "xyz");
    SetTimes(box / "src/same.data", 5000);
    SetTimes(box / "dst/same.data", 5000);
    SetTimes(box / "src/newer.data", 6000);
    SetTimes(box / "dst/newer.data", 5000);
    EXPECT_TRUE(BlindCopyExtensions(FileSystemPath(box / "src"), FileSystemPath(box / "dst"), ".data"));
    EXPECT_EQ("xyz", TestFiles::Read(box / "dst/same.data"));
    EXPECT_EQ("abc", TestFiles::Read(box / "dst/newer.data"));
}

// Sources and targets an ordinary user could have swapped for links between two runs.
TEST(BlindCopy, LinksAreCopiedAsLinksAndNeverWrittenThrough) {
    TestSandbox box;
    TestFiles::Write(box / "secret/file", "root only");
    ASSERT_EQ(0, chmod((box / "secret/file").c_str(), 0600));
    ASSERT_EQ(0, chmod((box / "secret").c_str(), 0700));
    // a data file replaced with a link to a root-only file, over an earlier copy
    TestFiles::Write(box / "dst/p.data", "earlier copy");
    ASSERT_EQ(0, chmod((box / "dst/p.data").c_str(), 0666));
    TestFiles::MakeFolders(box / "src");
    ASSERT_EQ(0, symlink((box / "secret/file").c_str(), (box / "src/p.data").c_str()));
    // a folder of the target that an earlier run copied as a link to a root-only folder
    TestFiles::Write(box / "src/etc/planted", "user's");
    ASSERT_EQ(0, symlink((box / "secret").c_str(), (box / "dst/etc").c_str()));

    EXPECT_TRUE(BlindCopyFolder(FileSystemPath(box / "src"), FileSystemPath(box / "dst")));
    struct stat copied;
    ASSERT_EQ(0, lstat((box / "dst/p.data").c_str(), &copied));
    EXPECT_TRUE(S_ISLNK(copied.st_mode));
    struct stat secret;
    ASSERT_EQ(0, stat((box / "secret/file").c_str(), &secret));
    EXPECT_EQ(0600u, secret.st_mode & 07777);
    EXPECT_EQ("root only", TestFiles::Read(box / "secret/file"));
    EXPECT_FALSE(TestFiles::Exists(box / "secret/planted"));
    EXPECT_EQ("user's", TestFiles::Read(box / "dst/etc/planted"));

    // a source folder that is itself a link is refused, not walked
    ASSERT_EQ(0, symlink((box / "secret").c_str(), (box / "linked-src").c_str()));
    EXPECT_FALSE(BlindCopyFolder(FileSystemPath(box / "linked-src"), FileSystemPath(box / "dst2")));
    EXPECT_FALSE(TestFiles::Exists(box / "dst2/file"));
}

TEST(BlindCopy, ProxyFileGoesIntoAFolderNamedLikeItsOwnAndComesBack) {
    TestSandbox box;
    TestFiles::Write(box / "extensions/Patch/Patch.proxy.xml", "<proxy/>");
    const FileSystemPath proxy(box / "extensions/Patch/Patch.proxy.xml");
    EXPECT_TRUE(BlindDeleteProxyFile(proxy, FileSystemPath(box / "target")));  // nothing there yet
    EXPECT_TRUE(BlindCopyProxyFile(proxy, FileSystemPath(box / "target")));
    EXPECT_EQ("<proxy/>", TestFiles::Read(box / "target/Patch/Patch.proxy.xml"));
    EXPECT_TRUE(BlindDeleteProxyFile(proxy, FileSystemPath(box / "target")));
    EXPECT_FALSE(TestFiles::Exists(box / "target/Patch/Patch.proxy.xml"));
    EXPECT_TRUE(TestFiles::Exists(box / "target/Patch"));
}

TEST(BlindCopy, SizesAndVersions) {
    EXPECT_EQ(0u, SizeFromText(""));
    EXPECT_EQ(0u, SizeFromText("abc"));
    EXPECT_EQ(123u, SizeFromText("  123MB"));
    EXPECT_EQ(UINT64_MAX, SizeFromText("999999999999999999999999"));
    EXPECT_GT(CompareVersions("10.0", "9.0"), 0);
    EXPECT_LT(CompareVersions("9.0", "10.0"), 0);
    EXPECT_EQ(0, CompareVersions("1.02", "1.2"));
    EXPECT_LT(CompareVersions("1.0", "1.0.1"), 0);
    EXPECT_LT(CompareVersions("1.0a", "1.0b"), 0);
}

}  // namespace
