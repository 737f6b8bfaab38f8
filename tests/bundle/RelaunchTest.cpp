#include <gtest/gtest.h>
#include <sys/stat.h>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "VirtualDisplay.h"

namespace {

// An ordinary user starts the wizard: it asks pkexec (here a stand-in that
// records what it was asked and answers as told) to run it again as root.
class Relaunch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.Running()) GTEST_SKIP() << "no Xvfb for the password dialog's display";
        chmod(box.Path().c_str(), 0755);
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        program = bundle.InstallProgram();
        TestFiles::Write(fakePkexec, "#!/bin/sh\necho \"$@\" > " + box / "asked.txt" + "\nexit $(cat " + box / "answer.txt" + ")\n");
        chmod(fakePkexec.c_str(), 0755);
        TestFiles::Write(box / "asked.txt", "");
        chmod((box / "asked.txt").c_str(), 0666);
    }
    ChildResult RunAsUser(const std::string& answer, const std::vector<std::string>& extra = {},
                          const std::string& displayName = "") {
        TestFiles::Write(box / "answer.txt", answer);
        chmod((box / "answer.txt").c_str(), 0644);
        std::vector<std::string> argv{program, "--mode=gui"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return TestProcess::Run(argv, {"KAVEX_PKEXEC=" + fakePkexec, "KAVEX_SYSTEM_ROOT=" + box / "machine",
                                       "DISPLAY=" + (displayName.empty() ? display.Name() : displayName), "LANGUAGE=fr", "LANG=",
                                       "LC_ALL=", "LC_MESSAGES=", "XAUTHORITY=", "WAYLAND_DISPLAY=", "NO_AT_BRIDGE=1"},
                                true);
    }
    VirtualDisplay display;
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
    EXPECT_EQ(0u, asked.find("/usr/bin/env DISPLAY=" + display.Name() + " LANGUAGE=fr KAVEX_SYSTEM_ROOT=" + box / "machine" + " " + program +
                             " --mode=gui\n"))
        << "asked: " << asked;
}

// A refusal (127) shows the rights dialog: see the wizard's end-to-end tests.
TEST_F(Relaunch, ADismissedPasswordDialogIsNoFailure) {
    ChildResult run = RunAsUser("126");
    EXPECT_EQ(0, run.status) << run.output;  // nothing happens
    EXPECT_EQ(std::string::npos, run.output.find("administrator rights could not be obtained")) << run.output;
}

// Without a display nobody is asked for a password that would lead nowhere; one line says why.
TEST_F(Relaunch, WithoutADisplayNothingIsAskedAndOneLineSaysWhy) {
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"-norespawn"}}) {
        ChildResult run = RunAsUser("0", extra, ":4242");
        EXPECT_EQ("", TestFiles::Read(box / "asked.txt"));
        EXPECT_EQ(255, run.status) << run.output;  // the unknown error, in 8 bits
        EXPECT_NE(std::string::npos, run.output.find("Update: no display to show the wizard on")) << run.output;
    }
}

}  // namespace
