#include <gtest/gtest.h>

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

TEST(BlindCopy, FolderCopiesTreesAndReplacesFiles) {
    TestSandbox box;
    TestFiles::Write(box / "src/x/y/z.txt", "new");
    TestFiles::Write(box / "dst/x/y/z.txt", "old");
    EXPECT_TRUE(BlindCopyFolder(FileSystemPath(box / "src"), FileSystemPath(box / "dst")));
    EXPECT_EQ("new", TestFiles::Read(box / "dst/x/y/z.txt"));
    EXPECT_TRUE(BlindCopyFolder(FileSystemPath(box / "missing"), FileSystemPath(box / "created")));
    EXPECT_FALSE(TestFiles::Exists(box / "created"));
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
