#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "ApplicationDisplayNames.h"
#include "MacUtils.h"
#include "ProcessUtilsMac.h"
#include "TestSandbox.h"

namespace {

class SandboxRoot : public ::testing::Test {
protected:
    void SetUp() override {
        setenv(kSystemRootVariable, box.Path().c_str(), 1);
        setenv("HOME", (box / "home/someone").c_str(), 1);
    }
    void TearDown() override { unsetenv(kSystemRootVariable); }
    TestSandbox box;
};

TEST_F(SandboxRoot, LocalFoldersLiveUnderTheSandboxRootAndAreCreatedOnRequest) {
    std::string path = "unchanged";
    EXPECT_FALSE(MacUtils::StdStringFindFolder(kLocalDomain, kApplicationSupportFolderType, kDontCreateFolder, path));
    EXPECT_EQ("unchanged", path);
    EXPECT_TRUE(MacUtils::StdStringFindFolder(kLocalDomain, kApplicationSupportFolderType, kCreateFolder, path));
    EXPECT_EQ(box / "Library/Application Support", path);
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st));
    EXPECT_TRUE(MacUtils::StdStringFindFolder(kLocalDomain, kApplicationSupportFolderType, kDontCreateFolder, path));

    EXPECT_TRUE(MacUtils::StdStringFindFolder(kLocalDomain, kApplicationsFolderType, kCreateFolder, path));
    EXPECT_EQ(box / "Applications", path);
    EXPECT_TRUE(MacUtils::StdStringFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, path));
    EXPECT_EQ(box / "home/someone/Library/Preferences", path);
    EXPECT_FALSE(MacUtils::StdStringFindFolder(kLocalDomain, 0x12345678, kCreateFolder, path));
    EXPECT_FALSE(MacUtils::StdStringFindFolder(0, kApplicationsFolderType, kCreateFolder, path));

    TestFiles::Write(box / "Library/Fonts", "a file where a folder belongs");
    EXPECT_FALSE(MacUtils::StdStringFindFolder(kLocalDomain, kFontsFolderType, kCreateFolder, path));
}

TEST(SystemRoot, DefaultsToSlashAndIgnoresRelativeValues) {
    unsetenv(kSystemRootVariable);
    EXPECT_EQ("/", MacUtils::SystemRoot());
    setenv(kSystemRootVariable, "relative/root", 1);
    EXPECT_EQ("/", MacUtils::SystemRoot());
    setenv(kSystemRootVariable, "/sand/box//", 1);
    EXPECT_EQ("/sand/box", MacUtils::SystemRoot());
    unsetenv(kSystemRootVariable);
}

TEST(StringConversion, InvalidUTF8ThrowsTheConversionMessages) {
    EXPECT_EQ("caf\xc3\xa9", MacUtils::UTF8StdStringCreateCFStringRef("caf\xc3\xa9"));
    try {
        MacUtils::UTF8StdStringCreateCFStringRef("bad\xc3");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Unable to convert std::string to CFString.", e.what());
    }
    EXPECT_EQ("", MacUtils::CFStringRefToUTF8StdString(""));
    EXPECT_THROW(MacUtils::CFStringRefToUTF8StdString("\xff"), std::runtime_error);
    EXPECT_EQ((std::vector<uint16_t>{0x61, 0xD83D, 0xDE00}), MacUtils::UTF8StringToVectorUniChar("a\xF0\x9F\x98\x80"));
    EXPECT_EQ(std::vector<uint16_t>{}, MacUtils::UTF8StringToVectorUniChar(""));
    // Overlong, a surrogate, past U+10FFFF, cut short, and a NUL inside: none is text.
    for (const std::string& bad : {std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"),
                                  std::string("\xE2\x82"), std::string("a\0b", 3)}) {
        EXPECT_THROW(MacUtils::CFStringRefToUTF8StdString(bad), std::runtime_error) << bad;
        EXPECT_THROW(MacUtils::UTF8StringToVectorUniChar(bad), std::runtime_error) << bad;
    }
    std::string hfs;
    EXPECT_TRUE(MacUtils::ConvertPOSIXNameToHFSName("a:b:c", hfs));
    EXPECT_EQ("a/b/c", hfs);
}

TEST(ConsoleUser, PkexecThenSudoThenRealUser) {
    std::string name;
    unsigned uid = 99;
    setenv("PKEXEC_UID", "0", 1);
    setenv("SUDO_UID", "65534", 1);
    ASSERT_TRUE(MacUtils::GetConsoleUser(name, uid));
    EXPECT_EQ(0u, uid);
    EXPECT_EQ("root", name);
    unsetenv("PKEXEC_UID");
    ASSERT_TRUE(MacUtils::GetConsoleUser(name, uid));
    EXPECT_EQ(65534u, uid);
    setenv("SUDO_UID", "junk", 1);
    ASSERT_TRUE(MacUtils::GetConsoleUser(name, uid));
    EXPECT_EQ(getuid(), uid);
    unsetenv("SUDO_UID");
}

TEST(RunningApplications, ListsAChildByItsExecutableName) {
    TestSandbox box;
    const std::string app = box / "kvx-probe-app";
    TestFiles::Write(app, TestFiles::Read("/bin/sleep"));
    ASSERT_EQ(0, chmod(app.c_str(), 0755));
    int pid = TestProcess::Spawn({app, "30"});
    std::vector<std::pair<std::string, std::string> > pairs{{"kept", "kept"}};
    bool found = false;
    ASSERT_TRUE(ProcessUtilsMac::GetRunningApplicationNamePairsOnMac(pairs));
    for (const auto& pair : pairs) found = found || (pair.first == "kvx-probe-app" && pair.second == "kvx-probe-app");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(found);
    EXPECT_EQ("kept", pairs[0].first);  // appended, not cleared
}

// An application is shown by its desktop entry's Name, found by the executable its Exec
// line starts; what is not a plain, small entry file is not read.
TEST(RunningApplications, DisplayNamesComeFromDesktopEntries) {
    TestSandbox box;
    TestFiles::Write(box / "apps/photo.desktop", "[Desktop Entry]\nType=Application\nName=Photo Studio\n"
                                                 "Exec=/opt/kvx/photostudio --new %U\n[Desktop Action New]\nName=New\nExec=other\n");
    TestFiles::Write(box / "apps/cut.desktop", "[Desktop Entry]\nName=Video Cut\nExec=env LANG=C \"/opt/kvx/videocut\" %f\n");
    TestFiles::Write(box / "apps/big.desktop", "[Desktop Entry]\nName=Big\nExec=big\n" + std::string(70000, '#'));
    TestFiles::Write(box / "elsewhere.desktop", "[Desktop Entry]\nName=Linked\nExec=linked\n");
    ASSERT_EQ(0, symlink((box / "elsewhere.desktop").c_str(), (box / "apps/linked.desktop").c_str()));
    TestFiles::Write(box / "more/photo2.desktop", "[Desktop Entry]\nName=Second Photo\nExec=photostudio\n");
    const ApplicationDisplayNames names({box / "apps", box / "missing", box / "more"});
    EXPECT_EQ("Photo Studio", names.NameOf("photostudio"));  // the first folder's entry wins
    EXPECT_EQ("Video Cut", names.NameOf("videocut"));
    EXPECT_EQ("other", names.NameOf("other"));                // an action's Exec names nothing
    EXPECT_EQ("big", names.NameOf("big"));
    EXPECT_EQ("linked", names.NameOf("linked"));
    EXPECT_EQ("KvxUnknown", names.NameOf("KvxUnknown"));
}

}  // namespace
