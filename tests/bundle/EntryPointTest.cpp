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
    ChildResult Run(const std::vector<std::string>& args, const std::string& root = std::string(), bool asNobody = false) {
        std::vector<std::string> argv{UPDATE_EXECUTABLE};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestProcess::Run(argv, {"KAVEX_SYSTEM_ROOT=" + (root.empty() ? box.Path() : root), "DISPLAY="}, asNobody);
    }
    TestSandbox box;
    std::string mBefore;
};

TEST_F(EntryPoint, UnknownModeEndsWithOneAndNoModeLine) {
    ChildResult result = Run({"--mode=SILENT"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Begin Kavex Update\nUpdate: unknown mode \"SILENT\": use --mode=gui, terminal, silent or check\n"
              "End Kavex Update.  Exit code: 1\n",
              result.output);
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

// Standard output and the exit code stay as they are; standard error says, in one line, what is wrong.
TEST_F(EntryPoint, EachRefusalSaysWhatIsWrongOnStandardError) {
    ChildResult result = Run({"--mode=silent", "--setupTimeout=0"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Begin Kavex Update\nUpdate: --setupTimeout wants whole seconds from 1 to 604800, not \"0\"\n"
              "End Kavex Update.  Exit code: 1\n",
              result.output);

    result = Run({"--mode=silent"}, std::string(), true);
    EXPECT_EQ(14, result.status);
    EXPECT_EQ("Begin Kavex Update\nUI mode: Silent\n"
              "Update: a silent run installs as root: run it as root (sudo); --mode=check needs no root\n"
              "End Kavex Update.  Exit code: 14\n",
              result.output);

    const std::string open = box / "open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0777));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    result = Run({"--mode=terminal"}, open);
    EXPECT_EQ(5, result.status);
    EXPECT_EQ("Update: ignoring KAVEX_SYSTEM_ROOT=" + open + ": " + open +
                  " may be changed by someone other than root; the machine's own folders are used\n"
                  "Begin Kavex Update\nUI mode: Terminal\nEnd Kavex Update.  Exit code: 5\n",
              result.output);

    // A machine without its store: the file that could not be opened is named.
    result = Run({"--mode=silent"});
    EXPECT_EQ(31, result.status) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\nUpdate: the installed-products store " + box.Path() +
                                                    "/Library/Application Support/Kavex"))
        << result.output;
}

TEST_F(EntryPoint, HelpAndVersionAnswerWithoutASession) {
    const ChildResult help = Run({"--mode=silent", "--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.output.find("Usage: Update [--mode=MODE]")) << help.output;
    for (const char* part : {"--callerID=ZEP6", "--report=FILE", "--setupTimeout=SECONDS", "-norespawn", "--version",
                             "KAVEX_SYSTEM_ROOT", "/tmp/moq.log", "Exit status:", "  35   the bundle is refused"}) {
        EXPECT_NE(std::string::npos, help.output.find(part)) << part;
    }
    const ChildResult version = Run({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("Update (Kavex Update) 2.1.51.0\n", version.output);
    EXPECT_EQ(std::string::npos, NewLogText().find("Starting the Patch Session"));
}

}  // namespace
