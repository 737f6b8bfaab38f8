#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "FileSystemUtils.h"
#include "FileSystemUtilsMac.h"
#include "FileSystemVolume.h"
#include "TestSandbox.h"

namespace {

FileSystemPath P(const std::string& text) { return FileSystemPath(text); }

struct stat Stat(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

TEST(FileSystemUtilsListing, ChildrenAndKinds) {
    TestSandbox box;
    std::vector<FileSystemPath> children{P("/stale")};
    TestFiles::MakeFolders(box / "empty");
    EXPECT_TRUE(FileSystemUtils::ChildrenForDirectory(P(box / "empty"), children));
    EXPECT_TRUE(children.empty());

    TestFiles::Write(box / "full/one", "1");
    TestFiles::MakeFolders(box / "full/two");
    ASSERT_EQ(0, symlink("nowhere", (box / "full/dangling").c_str()));
    ASSERT_TRUE(FileSystemUtils::ChildrenForDirectory(P(box / "full"), children));
    std::vector<std::string> names;
    for (const FileSystemPath& child : children) names.push_back(child.AsUTF8String());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{box / "full/dangling", box / "full/one", box / "full/two"}), names);

    EXPECT_FALSE(FileSystemUtils::ChildrenForDirectory(P(box / "full/one"), children));
    EXPECT_EQ(3u, children.size());  // untouched on failure

    bool flag = true;
    EXPECT_TRUE(FileSystemUtils::Exists(P(box / "full/dangling")));
    EXPECT_TRUE(FileSystemUtils::IsDirectory(P(box / "full/dangling"), flag));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(FileSystemUtilsMac::IsRegularFile(P(box / "full/one"), flag));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(FileSystemUtils::IsDirectory(P(box / "missing"), flag));
}

TEST(FileSystemUtilsCopy, KeepsModeTimesLinksAndTree) {
    TestSandbox box;
    TestFiles::Write(box / "src/a.txt", "alpha");
    TestFiles::Write(box / "src/sub/big.bin", std::string(3 << 20, 'z'));
    TestFiles::Write(box / "src/sub/empty", "");
    ASSERT_EQ(0, symlink("a.txt", (box / "src/link").c_str()));
    ASSERT_EQ(0, chmod((box / "src/a.txt").c_str(), 0751));
    struct timespec times[2] = {{1000000, 0}, {2000000, 5}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (box / "src/a.txt").c_str(), times, 0));

    ASSERT_TRUE(FileSystemUtils::CopyFile(P(box / "src"), P(box / "dst"), false));
    EXPECT_EQ("alpha", TestFiles::Read(box / "dst/a.txt"));
    EXPECT_EQ(std::string(3 << 20, 'z'), TestFiles::Read(box / "dst/sub/big.bin"));
    EXPECT_EQ("", TestFiles::Read(box / "dst/sub/empty"));
    struct stat st = Stat(box / "dst/a.txt");
    EXPECT_EQ(0751u, st.st_mode & 07777);
    EXPECT_EQ(2000000, st.st_mtim.tv_sec);
    EXPECT_TRUE(S_ISLNK(Stat(box / "dst/link").st_mode));
}

TEST(FileSystemUtilsCopy, ExistingTargetAttributesAndLinks) {
    TestSandbox box;
    TestFiles::Write(box / "new", "new contents");
    TestFiles::Write(box / "old", "old");
    ASSERT_EQ(0, chmod((box / "new").c_str(), 0600));
    ASSERT_EQ(0, chmod((box / "old").c_str(), 0644));
    ASSERT_TRUE(FileSystemUtils::CopyFile(P(box / "new"), P(box / "old"), true));
    EXPECT_EQ("new contents", TestFiles::Read(box / "old"));
    EXPECT_EQ(0644u, Stat(box / "old").st_mode & 07777);

    // replacing a folder with a file removes the folder's contents
    TestFiles::Write(box / "folder/inner", "x");
    ASSERT_TRUE(FileSystemUtils::CopyFile(P(box / "new"), P(box / "folder"), false));
    EXPECT_EQ("new contents", TestFiles::Read(box / "folder"));

    // a link at the target is replaced, never written through
    TestFiles::Write(box / "victim", "keep");
    ASSERT_EQ(0, chmod((box / "victim").c_str(), 0600));
    ASSERT_EQ(0, symlink((box / "victim").c_str(), (box / "link").c_str()));
    EXPECT_TRUE(FileSystemUtils::CopyFile(P(box / "new"), P(box / "link"), true));
    EXPECT_TRUE(S_ISREG(Stat(box / "link").st_mode));
    EXPECT_EQ("new contents", TestFiles::Read(box / "link"));
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));

    // a link in the source is copied as a link over an existing file, and the old
    // file's attributes are not applied through it to what it names
    ASSERT_EQ(0, symlink((box / "victim").c_str(), (box / "srclink").c_str()));
    TestFiles::Write(box / "was-file", "x");
    ASSERT_EQ(0, chmod((box / "was-file").c_str(), 0666));
    EXPECT_TRUE(FileSystemUtils::CopyFile(P(box / "srclink"), P(box / "was-file"), true));
    EXPECT_TRUE(S_ISLNK(Stat(box / "was-file").st_mode));
    EXPECT_EQ(0600u, Stat(box / "victim").st_mode & 07777);
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));

    EXPECT_FALSE(FileSystemUtils::CopyFile(P(box / "missing"), P(box / "x"), false));
}

TEST(FileSystemUtilsMove, RefusesFoldersAndExistingTargets) {
    TestSandbox box;
    TestFiles::Write(box / "a", "A");
    TestFiles::Write(box / "b", "B");
    TestFiles::MakeFolders(box / "dir");
    EXPECT_FALSE(FileSystemUtils::MoveFile(P(box / "dir"), P(box / "dir2")));
    EXPECT_FALSE(FileSystemUtils::MoveFile(P(box / "a"), P(box / "b")));
    EXPECT_FALSE(FileSystemUtils::MoveFile(P(box / "missing"), P(box / "c")));
    EXPECT_TRUE(FileSystemUtils::MoveFile(P(box / "a"), P(box / "c")));
    EXPECT_FALSE(TestFiles::Exists(box / "a"));
    EXPECT_EQ("A", TestFiles::Read(box / "c"));
}

TEST(FileSystemUtilsFolders, CreateDeleteLoad) {
    TestSandbox box;
    mode_t old = umask(077);
    EXPECT_TRUE(FileSystemUtilsMac::CreateDirectoryPath(P(box / "x/y/z"), 0755, true));
    EXPECT_EQ(0755u, Stat(box / "x/y/z").st_mode & 07777);
    EXPECT_TRUE(FileSystemUtilsMac::CreateDirectory(P(box / "plain"), 0755, false));
    EXPECT_EQ(0700u, Stat(box / "plain").st_mode & 07777);  // the umask applies
    umask(old);
    ASSERT_EQ(0, chmod((box / "x/y/z").c_str(), 0700));
    EXPECT_TRUE(FileSystemUtilsMac::CreateDirectoryPath(P(box / "x/y/z"), 0755, true));
    EXPECT_EQ(0700u, Stat(box / "x/y/z").st_mode & 07777);  // an existing path is left alone
    EXPECT_FALSE(FileSystemUtilsMac::CreateDirectory(P(box / "plain"), 0755, false));

    TestFiles::Write(box / "x/y/z/f", "data");
    EXPECT_FALSE(FileSystemUtilsMac::DeleteDirectory(P(box / "x/y/z"), false));
    EXPECT_TRUE(FileSystemUtils::DeleteFile(P(box / "x/y/z/f"), false));
    EXPECT_TRUE(FileSystemUtilsMac::DeleteDirectory(P(box / "x/y/z"), false));

    std::vector<unsigned char> contents{1, 2, 3};
    TestFiles::Write(box / "empty", "");
    EXPECT_TRUE(FileSystemUtils::LoadFileContents(P(box / "empty"), contents));
    EXPECT_TRUE(contents.empty());
    TestFiles::Write(box / "text", "hello");
    EXPECT_TRUE(FileSystemUtils::LoadFileContents(P(box / "text"), contents));
    EXPECT_EQ(std::string("hello"), std::string(contents.begin(), contents.end()));
    EXPECT_FALSE(FileSystemUtils::LoadFileContents(P(box / "missing"), contents));

    FileSystemPath temp("/");
    ASSERT_TRUE(FileSystemUtilsMac::CreateTemporaryDirectory(temp));
    EXPECT_EQ(0u, temp.AsUTF8String().find("/tmp/.tempdir"));
    bool isDirectory = false;
    EXPECT_TRUE(FileSystemUtils::IsDirectory(temp, isDirectory) && isDirectory);
    TestFiles::RemoveTree(temp.AsUTF8String());
}

TEST(FileSystemVolumeTest, MissingPathsBelongToTheirDeepestExistingFolder) {
    TestSandbox box;
    FileSystemVolume existing{P(box.Path())};
    FileSystemVolume missing{P(box / "not/yet/there")};
    EXPECT_TRUE(existing == missing);
    FileSystemPath root("/x");
    ASSERT_TRUE(missing.RootPath(root));
    EXPECT_EQ(0u, box.Path().find(root.AsUTF8String() == "/" ? "/" : root.AsUTF8String()));

    uint64_t free = 0, capacity = 0;
    EXPECT_TRUE(existing.FreeSpaceInBytes(free));
    EXPECT_TRUE(existing.CapacityInBytes(capacity));
    EXPECT_GT(capacity, 0u);
    EXPECT_LE(free, capacity);
    std::string name, type;
    EXPECT_TRUE(existing.FriendlyNameUTF8(name));
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(existing.FileSystemTypeName(type));
    EXPECT_FALSE(type.empty());

    FileSystemVolume proc{P("/proc/self")};
    EXPECT_TRUE(proc != existing);
    std::string procType;
    proc.FileSystemTypeName(procType);
    EXPECT_EQ("proc", procType);
    bool local = true;
    EXPECT_TRUE(proc.IsLocal(local));
    EXPECT_FALSE(local);
    bool caseSensitive = false;
    EXPECT_TRUE(proc.IsCaseSensitive(caseSensitive));
    EXPECT_TRUE(caseSensitive);
}

}  // namespace
