#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "FileSystemVolume.h"
#include "LockHolder.h"
#include "SilentRunFixture.h"

namespace {

TEST_F(SilentRun, InstallsInEverySessionThenFindsNothingLeft) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "Update");
    ChildResult first = Run();
    EXPECT_EQ(0, first.status) << first.output;
    EXPECT_EQ("Begin Kavex Update\nUI mode: Silent\nEnd Kavex Update.  Exit code: 0\n", first.output);
    EXPECT_EQ("result=0\n", Results());
    for (const std::string session : {"{S1}", "{S2}"}) {
        const std::vector<std::string> runs = TestFiles::Lines(TestFiles::Read(SetupFolder(session) + "/invocations.log"));
        ASSERT_EQ(1u, runs.size()) << session;
        EXPECT_NE(std::string::npos, runs[0].find("\t--kavexCodeList={PATCH}\t--mode=silent\t"));
        EXPECT_NE(std::string::npos, runs[0].find("\t--parentSessionID=" + session + "\t--skipProcessCheck=1"));
    }
    ChildResult second = Run();
    EXPECT_EQ(29, second.status) << second.output;
    EXPECT_EQ("result=0\n", Results());
    EXPECT_EQ(1u, TestFiles::Lines(TestFiles::Read(SetupFolder("{S1}") + "/invocations.log")).size());  // nothing launched again
}

TEST_F(SilentRun, ALongClientPathStillReportsAndAStandAloneRunReportsNothing) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string longClient = "/Applications/" + std::string(1500, 'u') + ".app";
    ChildResult reported = TestProcess::Run({program, "--mode=silent"},
                                            {"KAVEX_SYSTEM_ROOT=" + machine, "KAVEX_UPDATER_CLIENT=" + longClient,
                                             "KAVEX_UPDATER_RESULTS=" + results, "DISPLAY="});
    EXPECT_EQ(0, reported.status) << reported.output;
    EXPECT_EQ("result=0\n", Results());
    unlink(results.c_str());
    ChildResult standAlone = TestProcess::Run({program, "--mode=silent"},
                                              {"KAVEX_SYSTEM_ROOT=" + machine, "KAVEX_UPDATER_CLIENT=",
                                               "KAVEX_UPDATER_RESULTS=" + results, "DISPLAY="});
    EXPECT_EQ(29, standAlone.status) << standAlone.output;
    EXPECT_FALSE(TestFiles::Exists(results));
}

TEST_F(SilentRun, HigherPatchAndMissingBaseAreReportedWithTheirMessages) {
    store.Payload("{NEWER}", "Suite Update", "1.0.2").Member("{S1}", "{NEWER}").Constraint("{NEWER}", "{OLDER}");
    bundle.AddPatch(Patch("{OLDER}", "Suite Update", "1.0.1", "{BASE}"));
    ChildResult higher = Run();
    EXPECT_EQ(26, higher.status) << higher.output;
    EXPECT_EQ("result=0\nmessage=A newer patch is already installed.\n", Results());

    TestFiles::RemoveTree(bundle.Root() + "/extensions");
    ProxyFields orphan = Patch("{ORPHAN}", "Video Update", "2.0.1", "{VIDEO}");
    orphan.parentName = "Video Cut";
    bundle.AddPatch(orphan);
    ChildResult missing = Run();
    EXPECT_EQ(27, missing.status) << missing.output;
    EXPECT_EQ("result=4\nmessage=Install Video Update 2.0.1 - Video Cut : first.\n", Results());
}

TEST_F(SilentRun, ConflictingApplicationWinsOverShortSpaceAndTheOfferQuitsWithoutDisplay) {
    ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    patch.processes = {{"Kvx[B]locker", "1"}};  // only the pattern module matches it
    patch.totalSize = "999999999999999999";
    bundle.AddPatch(patch);
    const std::string app = box / "KvxBlocker";
    TestFiles::Write(app, TestFiles::Read("/bin/sleep"));
    chmod(app.c_str(), 0755);
    const int pid = TestProcess::Spawn({app, "60"});
    ChildResult run = Run();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(30, run.status) << run.output;
    EXPECT_EQ("result=4\n", Results());  // the update manager's own run: no message
    const std::string log = TestFiles::Read("/tmp/moq.log");
    EXPECT_NE(std::string::npos, log.find("answering with the alternate button \"Quit\""));
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/invocations.log"));
}

TEST_F(SilentRun, NotEnoughSpaceInstallsNothing) {
    uint64_t free = 0;
    FileSystemVolume(FileSystemPath(box.Path())).FreeSpaceInBytes(free);
    ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    // short by a margin, so that space freed meanwhile by other tests does not make room
    patch.totalSize = std::to_string(free / 2 + free / 16);
    bundle.AddPatch(patch);
    ChildResult run = Run();
    EXPECT_EQ(25, run.status) << run.output;
    EXPECT_EQ("result=4\n", Results());
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/invocations.log"));
}

TEST_F(SilentRun, AnotherInstallerHoldingItsLockStopsTheRun) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    LockHolder holder("VORNSetupLock");
    ASSERT_TRUE(holder.Held());
    ChildResult run = Run();
    holder.Release();
    EXPECT_EQ(34, run.status) << run.output;
    EXPECT_EQ("result=2\nmessage=\n", Results());
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/invocations.log"));
}

TEST_F(SilentRun, FailingSetupRollsBackAndTakesTheProxyBack) {
    TestFiles::Write(SetupFolder("{S1}") + "/standin.conf", "exit=7\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "Update");
    ChildResult run = Run();
    EXPECT_EQ(28, run.status) << run.output;
    EXPECT_EQ("result=4\nmessage=Suite Update 1.0.1: could not be installed.\n", Results());
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/extensions/Update/Update.proxy.xml"));
}

TEST_F(SilentRun, AnOrdinaryUserIsRefused) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    TestFiles::Write(results, "");
    chmod(results.c_str(), 0666);
    ChildResult run = Run(true);
    EXPECT_EQ(14, run.status) << run.output;
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/invocations.log"));
}

TEST_F(SilentRun, WithoutAStoreTheRunFailsWith31) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    TestFiles::RemoveTree(machine + "/Library/Application Support/Kavex/moxa");
    TestFiles::Write(machine + "/Library/Application Support/Kavex/moxa", "not a folder");
    ChildResult run = Run();
    EXPECT_EQ(31, run.status) << run.output;
    EXPECT_EQ("result=2\nmessage=\n", Results());
}

}  // namespace
