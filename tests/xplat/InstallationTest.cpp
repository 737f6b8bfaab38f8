#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <sstream>
#include <thread>

#include <errno.h>

#include <filesystem>

#include "FaultyDisk.h"
#include "LaunchUndo.h"
#include "MOQLogger.h"
#include "MoxaQueries.h"
#include "PatchFixtures.h"
#include "PayloadsManager.h"
#include "PayloadsManagerTestPeer.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "UndoRecovery.h"

namespace {

std::map<std::string, std::string> Succeeded(const PayloadsManager& manager) {
    std::map<std::string, std::string> records;
    manager.GetSuccessfulPayloads(records);
    return records;
}

std::map<std::string, std::string> Failed(const PayloadsManager& manager) {
    std::map<std::string, std::string> records;
    manager.GetFailedPayloads(records);
    return records;
}

// Every entry below folder, relative and sorted, blank-separated.
std::string Listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        names.push_back(entry.path().string().substr(folder.size() + 1));
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
    return text;
}

class Installation : public ::testing::Test {
protected:
    void SetUp() override { MOQ_Logger_StartAt(log.c_str(), false); }
    void TearDown() override {
        PayloadsManager::Release();
        MOQ_Logger_End();
    }
    std::string Common() const { return box / "machine/Library/Application Support/Kavex"; }
    std::string SetupFolder(const std::string& session) const { return Common() + "/Installers/" + session; }
    std::vector<std::string> LaunchOrder() const { return TestFiles::Lines(TestFiles::Read(Common() + "/Installers/launch-order.log")); }
    PayloadsManager& Start() {
        store.Save();
        FileSystemPath root(bundle.Root());
        EXPECT_TRUE(PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull));
        return *PayloadsManager::Instance();
    }
    // A base product that the classification found moved since its installation.
    PayloadsManager& StartWithMovedBase() {
        InstalledBase(store, box / "machine", base, {"{S1}"}, "/Applications/Suite");
        bundle.AddPatch(Patch("{P}", "Suite Patch", "1.1", "{BASE}"));
        PayloadsManager& manager = Start();
        PayloadsManagerTestPeer::MovedFolders()["{BASE}"] = box / "Moved/Suite";
        PayloadsManagerTestPeer::MovedConfigPaths()["{BASE}"] = box / "Moved/Suite/config.xml";
        return manager;
    }
    // Plans and installs as the silent run does; returns the installation's answer.
    int PlanAndInstall(PayloadsManager& manager) {
        manager.InstallPayload(nullptr, true, true);
        std::map<std::string, int> results;
        int status = manager.ProcessPayloads(nullptr, results);
        return status == 0 ? PayloadsManager::CheckOptionalPayloadFailure() : status;
    }
    TestSandbox box;
    std::string log = box / "moq.log";
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    ProxyFields base = Patch("{BASE}", "Suite", "1.0", "");
};

TEST_F(Installation, EachInstallationOfTheBaseGetsItsLaunchWithTheExactCommand) {
    InstalledBase(store, box / "machine", base, {"{S1}", "{S2}"}, box / "Applications/Suite");
    bundle.AddPatch(Patch("{P}", "Suite Patch", "1.0.1", "{BASE}"), "Patch");
    TestFiles::Write(bundle.Root() + "/extensions/runtime/lib.so", "runtime");
    PayloadsManager& manager = Start();
    EXPECT_EQ(0, PlanAndInstall(manager));
    ASSERT_EQ(2u, manager.Plan().size());
    EXPECT_EQ((std::vector<std::string>{"{S1} {P}", "{S2} {P}"}), LaunchOrder());
    for (const std::string session : {"{S1}", "{S2}"}) {
        const std::string setup = SetupFolder(session);
        const std::vector<std::string> runs = TestFiles::Lines(TestFiles::Read(setup + "/invocations.log"));
        ASSERT_EQ(1u, runs.size());
        const std::string expected = setup + "\t" + setup + "/Setup.app/Contents/MacOS/Setup\t--extensionsOnly=1\t"
                                     "--kavexCodeList={P}\t--mode=silent\t--extensionMediaPath=" + bundle.Root() + "/extensions\t"
                                     "--appPath=" + setup + "/Setup.app\t--parentSessionID=" + session + "\t--skipProcessCheck=1";
        EXPECT_EQ(expected, runs[0]);
        EXPECT_TRUE(TestFiles::Exists(setup + "/extensions/Patch/Patch.proxy.xml"));
        EXPECT_EQ("data of {P}", TestFiles::Read(setup + "/extensions/Patch/Patch.data"));
    }
    EXPECT_EQ("runtime", TestFiles::Read(Common() + "/Installers/R2/lib.so"));
    EXPECT_EQ((std::map<std::string, std::string>{{"{P}", "Suite Patch 1.0.1"}}), Succeeded(manager));
    const std::string logged = TestFiles::Read(log);
    EXPECT_NE(std::string::npos, logged.find("--parentSessionID={S2} --skipProcessCheck=1 \n"));
    EXPECT_EQ(100, manager.Progress().Snapshot().mPercent);
    EXPECT_EQ(0, PayloadsManager::GetErrorCode());
}

TEST_F(Installation, LaunchOrderIsCriticalThenDriverThenOptionalThenTheRest) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite");
    for (const char* code : {"{P1}", "{P2}", "{P3}", "{P4}", "{P5}"}) bundle.AddPatch(Patch(code, code + 1, "1.1", "{BASE}"), std::string(code + 1, 2));
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{P1}</KavexCode></Driver>"
                    "<Critical><KavexCode display=\"show\">{P3}</KavexCode><KavexCode display=\"show\">{P2}</KavexCode></Critical>"
                    "<Optional><KavexCode display=\"show\">{P5}</KavexCode></Optional></PayloadInfo>");
    PayloadsManager& manager = Start();
    EXPECT_EQ(0, PlanAndInstall(manager));
    EXPECT_EQ((std::vector<std::string>{"{S1} {P2}", "{S1} {P3}", "{S1} {P1}", "{S1} {P5}", "{S1} {P4}"}), LaunchOrder());
}

TEST_F(Installation, AFailingCriticalPatchStopsTheSessionAndLeavesItsInstallerAsItWas) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite", "exit=4\n");
    TestFiles::Write(SetupFolder("{S1}") + "/extensions/Two/Two.data", "the data an earlier patch left");
    TestFiles::Write(bundle.Root() + "/extensions/runtime/lib/part", "new runtime");
    TestFiles::Write(Common() + "/Installers/R2/lib/part", "old runtime");
    bundle.AddPatch(Patch("{P1}", "One", "1.1", "{BASE}"), "One").AddPatch(Patch("{P2}", "Two", "1.1", "{BASE}"), "Two");
    bundle.SetupXml("<PayloadInfo><Critical><KavexCode display=\"show\">{P2}</KavexCode></Critical></PayloadInfo>");
    PayloadsManager& manager = Start();
    EXPECT_EQ(2, PlanAndInstall(manager));
    EXPECT_EQ((std::vector<std::string>{"{S1} {P2}"}), LaunchOrder());
    EXPECT_EQ((std::map<std::string, std::string>{{"{P2}", "Two 1.1"}}), Failed(manager));
    EXPECT_EQ((std::vector<int32_t>{28}), PayloadsManagerTestPeer::InstallResults(manager));
    EXPECT_EQ(28, PayloadsManager::LastErrorCode());
    EXPECT_EQ("kRollBack", manager.Progress().ErrorName());
    // Byte for byte what it was: the replaced data and runtime back, nothing new left.
    EXPECT_EQ("Two Two/Two.data", Listing(SetupFolder("{S1}") + "/extensions"));
    EXPECT_EQ("the data an earlier patch left", TestFiles::Read(SetupFolder("{S1}") + "/extensions/Two/Two.data"));
    EXPECT_EQ("old runtime", TestFiles::Read(Common() + "/Installers/R2/lib/part"));
    EXPECT_EQ("lib lib/part", Listing(Common() + "/Installers/R2"));
    ASSERT_EQ(1u, manager.Launches().size());
    EXPECT_TRUE(manager.Launches()[0].rolledBack);
    EXPECT_FALSE(manager.Launches()[0].undoPending);
}

// The undo itself fails (every rename, once the setup has run): the launch says so instead of
// "left as it was", and the next run finishes the undo before anything else.
TEST_F(Installation, AnUndoThatCannotCompleteIsSaidSoAndFinishedByTheNextRun) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite", "exit=4\n");
    TestFiles::Write(SetupFolder("{S1}") + "/extensions/One/One.data", "old one");
    bundle.AddPatch(Patch("{P1}", "One", "1.1", "{BASE}"), "One");
    PayloadsManager& manager = Start();
    {
        FaultyDisk disk;
        const std::string ran = SetupFolder("{S1}") + "/invocations.log";
        disk.FailFrom(FaultyDisk::kRename, EIO, [ran] { return TestFiles::Exists(ran); });
        EXPECT_EQ(2, PlanAndInstall(manager));
    }
    ASSERT_EQ(1u, manager.Launches().size());
    EXPECT_FALSE(manager.Launches()[0].rolledBack);
    EXPECT_TRUE(manager.Launches()[0].undoPending);
    EXPECT_EQ("data of {P1}", TestFiles::Read(SetupFolder("{S1}") + "/extensions/One/One.data"));
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("could not all be taken back"));

    UndoRecovery::FinishPending();
    EXPECT_EQ("old one", TestFiles::Read(SetupFolder("{S1}") + "/extensions/One/One.data"));
    EXPECT_EQ("One One/One.data", Listing(SetupFolder("{S1}") + "/extensions"));
    ASSERT_EQ(1u, UndoRecovery::Done().size());
    EXPECT_EQ("undone", UndoRecovery::Done()[0].outcome);
    EXPECT_TRUE(LaunchUndo::Pending(box / "machine/var/lib/kavex/undo").empty());
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("its copies were taken back"));
}

TEST_F(Installation, AKilledSetupIsARollBack) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite", "signal=9\n");
    bundle.AddPatch(Patch("{P1}", "One", "1.1", "{BASE}"));
    PayloadsManager& manager = Start();
    EXPECT_EQ(2, PlanAndInstall(manager));
    EXPECT_EQ(28, PayloadsManager::GetErrorCode());
}

TEST_F(Installation, VersionGateComparesNumbers) {
    ProxyFields newerMedia = base;
    newerMedia.version = "10.0";
    InstalledBase(store, box / "machine", newerMedia, {"{S1}"}, box / "Applications/Suite");
    bundle.AddPatch(Patch("{OLD}", "Old Patch", "9.0", "{BASE}"), "Old").AddPatch(Patch("{NEW}", "New Patch", "10.0.1", "{BASE}"), "New");
    PayloadsManager& manager = Start();
    EXPECT_EQ(0, PlanAndInstall(manager));
    ASSERT_EQ(1u, manager.Plan().size());
    EXPECT_EQ("{NEW}", manager.Plan()[0].code);  // "9.0" is older than "10.0"
    EXPECT_TRUE(Failed(manager).empty());
}

TEST_F(Installation, PatchesThatCannotBeScheduledAreFailuresNotSuccesses) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite");
    store.Product("{ESCAPE}", "Escape", "1.0", {"{E1}"}).CollectionData("{E1}", 5, "sessionID", "../../escape")
        .Product("{NOCACHE}", "NoCache", "1.0", {"{N1}"});
    bundle.AddPatch(Patch("{P-ESC}", "Esc", "1.1", "{ESCAPE}")).AddPatch(Patch("{P-NC}", "Nc", "1.1", "{NOCACHE}"));
    PayloadsManager& manager = Start();
    EXPECT_EQ(2, PlanAndInstall(manager));
    EXPECT_TRUE(manager.Plan().empty());
    EXPECT_EQ((std::map<std::string, std::string>{{"{P-ESC}", "Esc 1.1"}, {"{P-NC}", "Nc 1.1"}}), Failed(manager));
    EXPECT_EQ(28, PayloadsManager::GetErrorCode());
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("is not a folder name"));
}

TEST_F(Installation, NotEnoughRoomStopsBeforeAnyLaunch) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, "/dev/shm");
    ProxyFields huge = Patch("{HUGE}", "Huge", "1.1", "{BASE}");
    huge.totalSize = "  99999999999999999";
    bundle.AddPatch(huge);
    PayloadsManager& manager = Start();
    EXPECT_EQ(25, manager.InstallPayload(nullptr, true, true));
    EXPECT_EQ(25, PayloadsManager::GetErrorCode());
    EXPECT_EQ(99999999999999999ull, manager.Plan().at(0).size);
    EXPECT_TRUE(LaunchOrder().empty());
}

TEST_F(Installation, EmptySessionIDAndCancelledRuns) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite");
    bundle.AddPatch(Patch("{P}", "Suite Patch", "1.1", "{BASE}"));
    PayloadsManager& manager = Start();
    moxaiSession* none = nullptr;
    EXPECT_EQ(12, manager.LaunchMainSetupAndInstallPatch("{P}", "{BASE}", none, "", FileSystemPath(SetupFolder("{S1}")), "",
                                                          FileSystemPath(bundle.Root()), 0, "Suite Patch 1.1", 0, 99,
                                                          FileSystemPath(bundle.Root())));
    manager.SetContinueInstall(false);
    std::map<std::string, int> results;
    manager.InstallPayload(nullptr, true, true);
    EXPECT_EQ(1, manager.ProcessPayloads(nullptr, results));
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(LaunchOrder().empty());
}

TEST_F(Installation, MovedBaseIsWrittenBackBeforeTheLaunch) {
    PayloadsManager& manager = StartWithMovedBase();
    EXPECT_EQ(0, PlanAndInstall(manager));
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&session));
    const char* value = nullptr;
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "INSTALLDIR", &value));
    EXPECT_EQ(box / "Moved/Suite", value);
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 5, "INSTALLDIR", &value));
    EXPECT_EQ(box / "Moved/Suite", value);
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "ZTKConfigPath", &value));
    EXPECT_EQ(box / "Moved/Suite/config.xml", value);
    EXPECT_EQ(kMoxaOK, moxaCloseSession(session));
}

// Another writer holds the store through the run: the moved folders cannot be written back.
// The setup still runs, nothing half-written stays, and the run does not end as a success.
TEST_F(Installation, AMovedBaseThatCannotBeWrittenBackFailsTheRun) {
    PayloadsManager& manager = StartWithMovedBase();
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(store.StoreFile().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    const int status = PlanAndInstall(manager);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(2, status);
    EXPECT_EQ(31, PayloadsManager::LastErrorCode());
    EXPECT_EQ(1u, TestFiles::Lines(TestFiles::Read(SetupFolder("{S1}") + "/invocations.log")).size());
    const std::string text = TestFiles::Read(log);
    EXPECT_NE(std::string::npos, text.find("The moved product {BASE} could not be written to the installed-products store"));
    EXPECT_NE(std::string::npos, text.find("The installed-products store could not be written (store code"));
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&session));
    const char* value = nullptr;
    EXPECT_NE(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "INSTALLDIR", &value));
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 5, "INSTALLDIR", &value));
    EXPECT_STREQ("/Applications/Suite", value);
    EXPECT_EQ(kMoxaOK, moxaCloseSession(session));
}

TEST_F(Installation, OutcomeCodesAfterARun) {
    InstalledBase(store, box / "machine", base, {"{S1}"}, box / "Applications/Suite");
    store.Payload("{DONE}", "Done", "1.0").Member("{S1}", "{DONE}");
    bundle.AddPatch(Patch("{DONE}", "Done", "1.0", "{BASE}"));
    PayloadsManager& manager = Start();
    // only an already-installed patch: the session still reports 29
    EXPECT_EQ(2, PlanAndInstall(manager));
    EXPECT_EQ(29, PayloadsManager::LastErrorCode());
    // once another patch succeeded, the session succeeded
    PayloadsManagerTestPeer::AddSucceeded(manager, "{OTHER}", "Other 1.0");
    EXPECT_EQ(0, PayloadsManager::CheckOptionalPayloadFailure());
    EXPECT_EQ(0, PayloadsManager::LastErrorCode());
}

}  // namespace

namespace {

// The page reads the records on the main thread while a pass writes them on its worker:
// under ThreadSanitizer any read that is not a copy taken under the records' lock fails this.
TEST_F(Installation, RecordsReadWhileAPassRunsAreConsistentCopies) {
    InstalledBase(store, box / "machine", base, {"{S1}", "{S2}", "{S3}"}, box / "Applications/Suite");
    TestFiles::Write(SetupFolder("{S2}") + "/standin.conf", "exit=7\n");
    bundle.AddPatch(Patch("{P}", "Suite Patch", "1.0.1", "{BASE}"), "Patch");
    PayloadsManager& manager = Start();
    std::atomic<bool> done{false};
    std::thread pass([&] {
        PlanAndInstall(manager);
        done = true;
    });
    size_t reads = 0;
    while (!done) {
        std::map<std::string, std::string> failed, succeeded;
        manager.GetFailedPayloads(failed);
        manager.GetSuccessfulPayloads(succeeded);
        const std::vector<PlanEntry> plan = manager.Plan();
        const std::vector<PatchOutcome> outcomes = manager.Outcomes();
        std::string required, volume;
        manager.GetDiskSpaceIfNeeded(required, volume);
        EXPECT_LE(plan.size(), 3u);
        EXPECT_LE(outcomes.size(), 1u);
        ++reads;
    }
    pass.join();
    EXPECT_GT(reads, 0u);
    std::map<std::string, std::string> failed;
    EXPECT_TRUE(manager.GetFailedPayloads(failed));
    EXPECT_EQ(1u, failed.count("{P}"));
    const std::vector<PlanEntry> plan = manager.Plan();
    ASSERT_EQ(3u, plan.size());
    for (const PlanEntry& entry : plan) {
        EXPECT_TRUE(entry.done) << entry.sessionID;
        EXPECT_EQ(entry.sessionID != "{S2}", entry.result == 0) << entry.sessionID;  // only {S2}'s setup fails
    }
}

}  // namespace
