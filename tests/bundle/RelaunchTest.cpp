#include <gtest/gtest.h>
#include <sys/stat.h>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"

namespace {

// An ordinary user starts the wizard: it asks pkexec (here a stand-in that
// records what it was asked and answers as told) to run it again as root.
class Relaunch : public ::testing::Test {
protected:
    void SetUp() override {
        chmod(box.Path().c_str(), 0755);
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        program = bundle.InstallProgram();
        TestFiles::Write(fakePkexec, "#!/bin/sh\necho \"$@\" > " + box / "asked.txt" + "\nexit $(cat " + box / "answer.txt" + ")\n");
        chmod(fakePkexec.c_str(), 0755);
        TestFiles::Write(box / "asked.txt", "");
        chmod((box / "asked.txt").c_str(), 0666);
    }
    ChildResult RunAsUser(const std::string& answer, const std::vector<std::string>& extra = {}) {
        TestFiles::Write(box / "answer.txt", answer);
        chmod((box / "answer.txt").c_str(), 0644);
        std::vector<std::string> argv{program, "--mode=gui"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return TestProcess::Run(argv, {"KAVEX_PKEXEC=" + fakePkexec, "KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=:4242",
                                       "LANGUAGE=fr", "LANG=", "LC_ALL=", "LC_MESSAGES=", "XAUTHORITY=", "WAYLAND_DISPLAY="},
                                true);
    }
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::string program;
    std::string fakePkexec = box / "pkexec";
};

TEST_F(Relaunch, AsksForRightsAndRunsItselfAgainWithTheSameArguments) {
    ChildResult granted = RunAsUser("0");
    EXPECT_EQ(0, granted.status) << granted.output;
    const std::string asked = TestFiles::Read(box / "asked.txt");
    EXPECT_EQ(0u, asked.find("/usr/bin/env DISPLAY=:4242 LANGUAGE=fr KAVEX_SYSTEM_ROOT=" + box / "machine" + " " + program +
                             " --mode=gui\n"))
        << "asked: " << asked;
}

TEST_F(Relaunch, DismissedOrRefusedPasswordDialogs) {
    EXPECT_EQ(0, RunAsUser("126").status);  // dismissed: nothing happens, and that is no failure
    EXPECT_EQ(4, RunAsUser("127").status);  // not authorized
}

TEST_F(Relaunch, NoRespawnGoesOnWithoutRights) {
    ChildResult run = RunAsUser("0", {"-norespawn"});
    EXPECT_EQ("", TestFiles::Read(box / "asked.txt"));
    EXPECT_NE(0, run.status);  // no display to show the wizard on
}

}  // namespace
