#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "FileSystemPath.h"
#include "TestSandbox.h"

namespace {

std::string ThrownMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

const char* const kInvalid = "Invalid path passed to FileSystemPath constructor.";

TEST(FileSystemPathText, ValidationCodesAndLimits) {
    using FileSystemUtils::ValidateUTF8FullPathString;
    EXPECT_EQ(0, ValidateUTF8FullPathString("/"));
    EXPECT_EQ(3, ValidateUTF8FullPathString(""));
    EXPECT_EQ(3, ValidateUTF8FullPathString("a/b"));
    EXPECT_EQ(0, ValidateUTF8FullPathString("/" + std::string(255, 'c')));
    EXPECT_EQ(2, ValidateUTF8FullPathString("/" + std::string(256, 'c')));
    EXPECT_EQ(2, ValidateUTF8FullPathString("/a/" + std::string(256, 'c') + "/b"));
    // the system's limit: PATH_MAX less its terminating zero
    std::string exact;
    while (exact.size() + 256 <= 4095) exact += "/" + std::string(255, 'a');
    exact += "/" + std::string(4095 - exact.size() - 1, 'b');
    ASSERT_EQ(4095u, exact.size());
    EXPECT_EQ(0, ValidateUTF8FullPathString(exact));
    EXPECT_EQ(2, ValidateUTF8FullPathString(exact + "x"));
    // the leading slash is tested before the length
    EXPECT_EQ(3, ValidateUTF8FullPathString(std::string(2000, 'x')));
}

TEST(FileSystemPathText, ConstructionTrimsAndRejects) {
    EXPECT_EQ("/", FileSystemPath("/").AsUTF8String());
    EXPECT_EQ("/", FileSystemPath("///").AsUTF8String());
    EXPECT_EQ("/a/b", FileSystemPath("/a/b///").AsUTF8String());
    EXPECT_EQ(kInvalid, ThrownMessage([] { FileSystemPath(""); }));
    EXPECT_EQ(kInvalid, ThrownMessage([] { FileSystemPath("a/b"); }));
    EXPECT_EQ(kInvalid, ThrownMessage([] { FileSystemPath("/" + std::string(256, 'x')); }));
}

TEST(FileSystemPathText, AppendNameAndParent) {
    EXPECT_EQ("/a/x", FileSystemPath("/a").AppendUTF8Segment("///x").AsUTF8String());
    EXPECT_EQ("/x", FileSystemPath("/").AppendUTF8Segment("x").AsUTF8String());
    EXPECT_EQ("/a/", FileSystemPath("/a").AppendUTF8Segment("").AsUTF8String());
    EXPECT_EQ("/a/b/", FileSystemPath("/a").AppendUTF8Segment("b/").AsUTF8String());
    EXPECT_EQ("/", FileSystemPath("/").Parent().AsUTF8String());
    EXPECT_EQ("/", FileSystemPath("/a").Parent().AsUTF8String());
    EXPECT_EQ("/a/b", FileSystemPath("/a/b/c").Parent().AsUTF8String());
    EXPECT_EQ("/", FileSystemPath("/").NameAsUTF8String());
    EXPECT_EQ("c", FileSystemPath("/a/b/c").NameAsUTF8String());
}

TEST(FileSystemPathText, RelativeTextJoinsTheWorkingDirectory) {
    TestSandbox box;
    char old[1100];
    ASSERT_NE(nullptr, getcwd(old, sizeof(old)));
    ASSERT_EQ(0, chdir(box.Path().c_str()));
    EXPECT_EQ(box.Path(), FileSystemPath().AsUTF8String());
    EXPECT_EQ(box.Path() + "/x/y", FileSystemPath::PathFromUTF8("x/y").AsUTF8String());
    EXPECT_EQ(box.Path() + "/", FileSystemPath::PathFromUTF8("").AsUTF8String());
    EXPECT_EQ("/q", FileSystemPath::PathFromNative("/q/").AsUTF8String());
    ASSERT_EQ(0, chdir(old));
}

TEST(FileSystemPathEquality, ByObjectIdentityNotByText) {
    TestSandbox box;
    TestFiles::MakeFolders(box / "a/b");
    ASSERT_EQ(0, symlink((box / "a").c_str(), (box / "link").c_str()));
    // the same folder through a link, and a missing tail below it
    EXPECT_TRUE(FileSystemPath(box / "link/b") == FileSystemPath(box / "a/b"));
    EXPECT_TRUE(FileSystemPath(box / "link/new/x") == FileSystemPath(box / "a/new/x"));
    EXPECT_TRUE(FileSystemPath(box / "a/./b") == FileSystemPath(box / "a/b"));
    EXPECT_FALSE(FileSystemPath(box / "a/b") == FileSystemPath(box / "a"));
    EXPECT_TRUE(FileSystemPath(box / "a/new") != FileSystemPath(box / "a/other"));
    // on this case-sensitive volume letter case counts, both for existing and missing parts
    TestFiles::MakeFolders(box / "A");
    EXPECT_FALSE(FileSystemPath(box / "a") == FileSystemPath(box / "A"));
    EXPECT_FALSE(FileSystemPath(box / "a/New") == FileSystemPath(box / "a/new"));
}

TEST(FileSystemPathEquality, TailsFoldCaseOnlyOnCaseInsensitiveVolumes) {
    using FileSystemUtils::PathTailsEqual;
    EXPECT_TRUE(PathTailsEqual("/b/Straße", "/B/STRASSE", false));
    EXPECT_TRUE(PathTailsEqual("/Éte", "/éTE", false));
    EXPECT_TRUE(PathTailsEqual("/ΣΑΣ", "/σας", false));      // the final sigma folds too
    EXPECT_TRUE(PathTailsEqual("/ofﬁce", "/OFFICE", false));  // a ligature folds to its letters
    EXPECT_FALSE(PathTailsEqual("/Éte", "/Ete", false));
    EXPECT_FALSE(PathTailsEqual("/b", "/B", true));
    EXPECT_TRUE(PathTailsEqual("", "", true));
    EXPECT_EQ("Unable to form CFStringRef of paths for comparison.",
              ThrownMessage([] { PathTailsEqual("/\xff", "/a", false); }));
}

TEST(FileSystemPathEquality, UnresolvableSidesThrowTheirMessages) {
    TestSandbox box;
    TestFiles::Write(box / "file", "x");
    // a path through a regular file fails with something other than "not found"
    EXPECT_EQ("Comparison of paths cannot succeed because the left-hand-side is invalid.",
              ThrownMessage([&] { (void)(FileSystemPath(box / "file/x") == FileSystemPath(box.Path())); }));
    EXPECT_EQ("Comparison of paths cannot succeed because the right-hand-side is invalid.",
              ThrownMessage([&] { (void)(FileSystemPath(box.Path()) == FileSystemPath(box / "file/x")); }));
}

}  // namespace
