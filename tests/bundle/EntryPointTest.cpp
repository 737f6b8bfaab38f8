#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSandbox.h"

namespace {

const std::string kLog = "/tmp/moq.log";

// The log is shared by every session: look only at what this run appended.
class EntryPoint : public ::testing::Test {
protected:
    void SetUp() override { mBefore = TestFiles::Read(kLog); }
    // The log is emptied when it grows large: then all of it is new.
    std::string NewLogText() const { return TestFiles::Since(kLog, mBefore); }
    ChildResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{UPDATE_EXECUTABLE};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestProcess::Run(argv, {"KAVEX_SYSTEM_ROOT=" + box.Path(), "DISPLAY="});
    }
    TestSandbox box;
    std::string mBefore;
};

TEST_F(EntryPoint, UnknownModeEndsWithOneAndNoModeLine) {
    ChildResult result = Run({"--mode=SILENT"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Begin Kavex Update\nEnd Kavex Update.  Exit code: 1\n", result.output);
    const std::string log = NewLogText();
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Starting the Patch Session\n"));
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Build#2.1.51.0\n"));
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: " + std::string(109, '*') + "\n"));
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Patcher running in StandAlone mode\n"));
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Ending the Patch Session\n"));
}

TEST_F(EntryPoint, TerminalModeEndsWithFive) {
    ChildResult result = Run({"--mode=terminal"});
    EXPECT_EQ(5, result.status);
    EXPECT_EQ("Begin Kavex Update\nUI mode: Terminal\nEnd Kavex Update.  Exit code: 5\n", result.output);
    const std::string log = NewLogText();
    EXPECT_NE(std::string::npos, log.find("MOQ: _info_: Patcher running in Terminal Mode\n"));
    size_t called = log.find("Called InstallerEngine::Main\n");
    size_t returning = log.find("Returning from InstallerEngine::Main\n");
    size_t ending = log.find("Ending the Patch Session\n");
    ASSERT_NE(std::string::npos, called);
    EXPECT_LT(called, returning);
    EXPECT_LT(returning, ending);
}

TEST_F(EntryPoint, PlantedLinkAtTheLogPathLeavesItsTargetAlone) {
    const std::string target = box / "target";
    TestFiles::Write(target, "__MOQ_LOG_FILE__\nprecious\n");
    const std::string saved = TestFiles::Read(kLog);
    unlink(kLog.c_str());
    ASSERT_EQ(0, symlink(target.c_str(), kLog.c_str()));
    ChildResult result = Run({"--mode=terminal"});
    EXPECT_EQ(5, result.status);
    EXPECT_EQ("__MOQ_LOG_FILE__\nprecious\n", TestFiles::Read(target));
    struct stat st;
    ASSERT_EQ(0, lstat(kLog.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(std::string::npos, TestFiles::Read(kLog).find("Ending the Patch Session"));
    TestFiles::Write(kLog, saved + TestFiles::Read(kLog));
}

}  // namespace
