#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "ConflictPattern.h"
#include "FamilyLockQuery.h"
#include "FileSystemVolume.h"
#include "PatchFixtures.h"
#include "LockHolder.h"
#include "PayloadsManager.h"
#include "PayloadsManagerTestPeer.h"
#include "PreInstallSurvey.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"

namespace {

typedef std::map<std::string, std::string> Dictionary;

// Real processes whose executables carry the names under test.
class RunningApps {
public:
    explicit RunningApps(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            const std::string path = mBox / name;
            TestFiles::Write(path, TestFiles::Read("/bin/sleep"));
            chmod(path.c_str(), 0755);
            mPids.push_back(TestProcess::Spawn({path, "60"}));  // returns once it runs
        }
    }
    ~RunningApps() {
        for (int pid : mPids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    TestSandbox mBox;
    std::vector<int> mPids;
};

PayloadProxy::CONPROCESS Entry(const std::string& name, const std::string& blocking) { return {name, blocking}; }

class Checks : public ::testing::Test {
protected:
    void SetUp() override {
        store.Product("{BASE}", "Suite", "1.0", {"{S1}"});
        bundle.AddPatch(Patch("{P}", "Suite Patch", "1.1", "{BASE}"));
        store.Save();
        FileSystemPath root(bundle.Root());
        ASSERT_TRUE(PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull));
    }
    void TearDown() override { PayloadsManager::Release(); }
    PayloadsManager& M() { return *PayloadsManager::Instance(); }
    void SetFailed(const Dictionary& failed) { PayloadsManagerTestPeer::SetFailed(M(), failed); }
    // The family's locks as the test says, whatever runs beside it on the machine.
    std::set<std::string> held;
    FamilyLockQuery::Replacement locks{[this](const std::string& name) { return held.count(name) != 0; }};
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
};

TEST_F(Checks, ConflictingProcessesBlockWarnAndAreListedOnce) {
    RunningApps apps({"KvxTool", "KvxToolbox", "KvxHelper", "AKvxZed", "KvxZed"});
    std::string blocking, warning;
    EXPECT_TRUE(PayloadsManager::IsConflictingProcess(
        {Entry("KvxTool", "1"), Entry("KvxTool", "1"), Entry("KvxHelp", "0"), Entry("AKvxZed", "1"), Entry("KvxZed", "1"),
         Entry("Kvx(Broken", "1"), Entry("NoSuchKvxApp", "1")},
        blocking, warning));
    // prefix matches, sorted, duplicates once, and "KvxZed" is already inside "AKvxZed"
    EXPECT_EQ("<br>AKvxZed<br>KvxTool<br>KvxToolbox", blocking);
    EXPECT_EQ("<br>KvxHelper", warning);
    EXPECT_EQ(30, PayloadsManager::LastErrorCode());
    EXPECT_EQ("kConflictingProcessRunning", M().Progress().ErrorName());

    std::string none, noWarning;
    EXPECT_FALSE(PayloadsManager::IsConflictingProcess({Entry("NoSuchKvxApp", "1")}, none, noWarning));
    EXPECT_EQ("", none);
    EXPECT_EQ(0, PayloadsManager::LastErrorCode());
    EXPECT_EQ("", M().Progress().ErrorName());
}

// Another installer of the family blocks as an application named "Setup" and takes the
// checks' lock step; the patch lock alone is no blocking application but stops the lock step.
TEST_F(Checks, AnotherFamilyInstallerBlocks) {
    std::string blocking, warning;
    EXPECT_TRUE(PayloadsManager::AcquireSetupLock());
    EXPECT_FALSE(PayloadsManager::IsConflictingProcess({Entry("NoSuchKvxApp", "1")}, blocking, warning));
    for (const char* name : {"VORNSetupLock", "VORNBootstrapperLock"}) {
        held = {name};
        blocking.clear();
        EXPECT_TRUE(PayloadsManager::IsConflictingProcess({}, blocking, warning)) << name;
        EXPECT_EQ("<br>Setup", blocking) << name;
        EXPECT_FALSE(PayloadsManager::AcquireSetupLock()) << name;
        EXPECT_EQ(34, PayloadsManager::LastErrorCode()) << name;
    }
    PayloadsManager::Release();
    FileSystemPath root(bundle.Root());
    ASSERT_TRUE(PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull));
    held = {"VORNPatchLock"};
    blocking.clear();
    EXPECT_FALSE(PayloadsManager::IsConflictingProcess({}, blocking, warning));
    EXPECT_FALSE(PayloadsManager::AcquireSetupLock());
    held.clear();
    EXPECT_TRUE(PayloadsManager::AcquireSetupLock());
}

TEST_F(Checks, AnInvalidPatternIsMatchedLiterally) {
    RunningApps apps({"Kvx(Odd"});
    std::string blocking, warning;
    EXPECT_TRUE(PayloadsManager::IsConflictingProcess({Entry("Kvx(Odd", "1")}, blocking, warning));
    EXPECT_EQ("<br>Kvx(Odd", blocking);
}

// A pattern whose match runs past the matcher's bound (nested repetitions over a
// long name) is matched literally, as a prefix, from then on.
TEST(ConflictPatterns, RunawayPatternsAreMatchedLiterally) {
    const std::string longName(200, 'a');
    const std::vector<std::pair<std::string, std::string> > running = {
        {longName, "Long"}, {"(a+)+bc", "Literal"}, {"Tool", "Tool"}, {"Toolbox", "Toolbox"}};
    std::vector<std::string> blocking, warning;
    PayloadsManager::MatchConflictingProcesses({Entry("(a+)+b", "1"), Entry("Too", "0"), Entry("(.*)*x", "0")}, running,
                                               blocking, warning);
    EXPECT_EQ((std::vector<std::string>{"Literal"}), blocking);
    EXPECT_EQ((std::vector<std::string>{"Tool", "Toolbox"}), warning);
}

// A name is a pattern anchored at the start of the executable's name, open at its end.
TEST(ConflictPatterns, AnchoredAtTheStartOpenAtTheEndLiteralWhenBroken) {
    long budget = ConflictPattern::kStepBudget;
    ConflictPattern::Matcher pattern("Kvx.+Tool", budget);
    EXPECT_TRUE(pattern.Matches("KvxBigTool"));
    EXPECT_TRUE(pattern.Matches("KvxBigToolbox"));
    EXPECT_FALSE(pattern.Matches("AKvxBigTool"));
    EXPECT_FALSE(pattern.Matches("KvxTool"));
    EXPECT_FALSE(pattern.Matches("kvxbigtool"));
    EXPECT_LT(budget, ConflictPattern::kStepBudget);

    EXPECT_TRUE(ConflictPattern::Compiles("Kvx.+Tool"));
    EXPECT_FALSE(ConflictPattern::Compiles("Kvx("));
    ConflictPattern::Matcher broken("Kvx(", budget);
    EXPECT_TRUE(broken.Matches("Kvx(Odd"));
    EXPECT_FALSE(broken.Matches("KvxOdd"));

    // once the check's budget is spent, every later pattern is taken as written
    long spent = 0;
    ConflictPattern::Matcher late("K.x", spent);
    EXPECT_FALSE(late.Matches("Kvx"));
    EXPECT_TRUE(late.Matches("K.xTool"));
    long small = 1000;
    ConflictPattern::Matcher runaway("(a+)+b", small);
    EXPECT_FALSE(runaway.Matches(std::string(40, 'a')));
    EXPECT_LT(small, 0);
    EXPECT_TRUE(runaway.Matches("(a+)+bc"));
}

// What the report tells of the checks: each family lock with its holder, each conflicting
// application with its processes, each planned volume with its room.
TEST_F(Checks, TheSurveyNamesLocksApplicationsAndVolumes) {
    RunningApps apps({"KvxSurveyTool", "KvxSurveyHelp"});
    PayloadsManagerTestPeer::SetConflictingProcesses({Entry("KvxSurveyTool", "1"), Entry("KvxSurveyHelp", "0"), Entry("NoSuchKvxApp", "1")});
    PayloadsManagerTestPeer::SetPlanFolders(M(), {"/dev/shm", "/dev/shm/sub"}, {UINT64_MAX / 2, 1});
    std::shared_ptr<PreInstallSurvey> survey = PreInstallSurvey::Take(M());
    ASSERT_EQ(3u, survey->locks.size());
    EXPECT_EQ("VORNSetupLock", survey->locks[0].name);
    EXPECT_EQ("VORNBootstrapperLock", survey->locks[1].name);
    EXPECT_EQ("VORNPatchLock", survey->locks[2].name);
    EXPECT_FALSE(survey->AnyLockBusy());
    ASSERT_EQ(2u, survey->applications.size());
    EXPECT_EQ("KvxSurveyHelp", survey->applications[0].name);
    EXPECT_FALSE(survey->applications[0].blocking);
    EXPECT_EQ("KvxSurveyTool", survey->applications[1].name);
    EXPECT_TRUE(survey->applications[1].blocking);
    EXPECT_EQ(1u, survey->applications[1].pids.size());
    EXPECT_TRUE(survey->AnyBlockingApplication());
    ASSERT_EQ(1u, survey->volumes.size());
    const PreInstallSurvey::Volume& volume = survey->volumes[0];
    EXPECT_EQ("/dev/shm", volume.root);
    EXPECT_EQ(UINT64_MAX / 2 + 1, volume.plannedBytes);
    EXPECT_EQ(UINT64_MAX, volume.neededBytes);
    EXPECT_TRUE(volume.measured);
    EXPECT_FALSE(volume.enough);
    EXPECT_GT(volume.freeBytes, 0u);

    LockHolder holder("VORNPatchLock");
    ASSERT_TRUE(holder.Held());
    PayloadsManagerTestPeer::SetConflictingProcesses({Entry("KvxSurveyHelp", "0")});
    survey = PreInstallSurvey::Take(M());
    EXPECT_TRUE(survey->AnyLockBusy());
    EXPECT_EQ(NamedLockProbe::kBusy, survey->locks[2].state);
    EXPECT_EQ(holder.Pid(), survey->locks[2].holderPid);
    EXPECT_FALSE(survey->AnyBlockingApplication());
}

TEST_F(Checks, ConflictMessagesSingularAndPlural) {
    const Dictionary strings = {{"locConflictingProcessErrorBody", "Close these:"}, {"locConflictingProcessErrorBodySing", "Close this:"}};
    RunningApps apps({"KvxAlpha", "KvxBeta"});
    PayloadsManagerTestPeer::SetConflictingProcesses({Entry("KvxAlpha", "1")});
    PayloadsManager::SetErrorCode(30);
    EXPECT_EQ("Close this:\r\nKvxAlpha", M().GetLocalizedErrorString(strings));
    PayloadsManagerTestPeer::SetConflictingProcesses({Entry("KvxAlpha", "1"), Entry("KvxBeta", "1")});
    PayloadsManager::SetErrorCode(30);
    EXPECT_EQ("Close these:\r\nKvxAlpha\r\nKvxBeta", M().GetLocalizedErrorString(strings));
    PayloadsManager::SetErrorCode(30);
    EXPECT_EQ("", M().GetLocalizedErrorString({{"locConflictingProcessErrorBodySing", "Close this:"}}));
}

TEST_F(Checks, RoomNeedsTwiceTheSizeStrictlyBelowTheFreeSpace) {
    FileSystemPath shm("/dev/shm");
    uint64_t free = 0;
    ASSERT_TRUE(FileSystemVolume(shm).FreeSpaceInBytes(free));
    ASSERT_EQ(0u, free % 2);
    EXPECT_FALSE(M().IsDiskSpaceAvailable(shm, free / 2));
    EXPECT_TRUE(M().IsDiskSpaceAvailable(shm, free / 2 - 1));
    EXPECT_FALSE(M().IsDiskSpaceAvailable(shm, UINT64_MAX));  // doubling must not wrap around
    // no volume information to be had (a path through a file): the check does not block
    TestFiles::Write(box / "file", "x");
    FileSystemPath unreadable(box / "file/below");
    EXPECT_TRUE(M().IsDiskSpaceAvailable(unreadable, UINT64_MAX));
}

TEST_F(Checks, ShortVolumesAreReportedByRootOrderWithTheirMessage) {
    std::string space = "unchanged", volume = "unchanged";
    EXPECT_FALSE(M().GetDiskSpaceIfNeeded(space, volume));  // empty plan
    uint64_t freeShm = 0, freeRoot = 0;
    FileSystemVolume(FileSystemPath("/dev/shm")).FreeSpaceInBytes(freeShm);
    FileSystemVolume(FileSystemPath(box.Path())).FreeSpaceInBytes(freeRoot);
    FileSystemPath rootOfBox("/");
    FileSystemVolume(FileSystemPath(box.Path())).RootPath(rootOfBox);
    // two entries on the box's volume add up; one entry on /dev/shm alone is short too
    PayloadsManagerTestPeer::SetPlanFolders(M(), {box / "App", box / "Other", "/dev/shm/App", ""},
                                            {freeRoot / 4, freeRoot / 4 + 1048576, freeShm, 5});
    ASSERT_TRUE(M().GetDiskSpaceIfNeeded(space, volume));
    const bool boxFirst = rootOfBox.AsUTF8String() < "/dev/shm";
    std::string expectedName;
    FileSystemVolume(boxFirst ? FileSystemPath(box.Path()) : FileSystemPath("/dev/shm")).FriendlyNameUTF8(expectedName);
    EXPECT_EQ(expectedName, volume);
    const uint64_t total = boxFirst ? freeRoot / 4 * 2 + 1048576 : freeShm;
    EXPECT_EQ(std::to_string(total * 2 / 1048576), space);

    PayloadsManager::SetErrorCode(25);
    EXPECT_EQ("Need " + space + " MB on " + volume + ".",
              M().GetLocalizedErrorString({{"locnotEnoughDiskSpaceBody", "Need [spaceReq] MB on [volume]."}}));
}

TEST_F(Checks, ErrorNamesFollowTheCode) {
    GuardedProgress& progress = M().Progress();
    PayloadsManager::MapErrorCodeToJSError(progress, 25);
    EXPECT_EQ("kNotEnoughDiskSpace", progress.ErrorName());
    for (int keeps : {26, 27, 29}) {
        PayloadsManager::MapErrorCodeToJSError(progress, keeps);
        EXPECT_EQ("kNotEnoughDiskSpace", progress.ErrorName());
        EXPECT_EQ(keeps, PayloadsManager::LastErrorCode());
    }
    PayloadsManager::MapErrorCodeToJSError(progress, 32);
    EXPECT_EQ("kRollBack", progress.ErrorName());
    PayloadsManager::MapErrorCodeToJSError(progress, 31);
    EXPECT_EQ("kMOXADBError", progress.ErrorName());
    PayloadsManager::MapErrorCodeToJSError(progress, 12);
    EXPECT_EQ("", progress.ErrorName());
}

TEST_F(Checks, LocalizedMessagesForEachCode) {
    const Dictionary strings = {
        {"locHigherPatchError", "A newer patch is installed."},
        {"locBasePayloadError", "Install [productName] first ([productName])."},
        {"locFailedToInstall", "could not be installed."},
        {"locSetupRunningBody", "Quit the other installer to update [productName]."},
    };
    PayloadsManager::SetErrorCode(26);
    EXPECT_EQ("A newer patch is installed.", M().GetLocalizedErrorString(strings));
    PayloadsManager::SetErrorCode(28);
    SetFailed({{"{A}", "Alpha 1.1"}, {"{B}", "Beta 2.0"}});
    EXPECT_EQ("Alpha 1.1,Beta 2.0:could not be installed.", M().GetLocalizedErrorString(strings));
    PayloadsManager::SetErrorCode(28);
    SetFailed({});
    EXPECT_EQ("", M().GetLocalizedErrorString({}));
    PayloadsManager::SetErrorCode(34);
    EXPECT_EQ("Quit the other installer to update Suite Patch.", M().GetLocalizedErrorString(strings));
    PayloadsManager::SetErrorCode(12);
    EXPECT_EQ("", M().GetLocalizedErrorString(strings));
    PayloadsManager::SetErrorCode(27);
    EXPECT_EQ("Install  first ([productName]).", M().GetLocalizedErrorString(strings));  // no such patch here
}

TEST(ChecksWithoutParent, BaseProductMessageNamesEveryOrphanedPatch) {
    TestSandbox box;
    StoreBuilder store(box / "machine");
    PatchBundle bundle(box / "bundle");
    bundle.AddPatch(Patch("{X}", "Xylo", "1.1", "{MISSING}")).AddPatch(Patch("{Y}", "Yak", "2.0", "{MISSING}"));
    store.Save();
    FileSystemPath root(bundle.Root());
    ASSERT_TRUE(PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull));
    PayloadsManager::SetErrorCode(27);
    EXPECT_EQ("Install Xylo 1.1 - Base Product,Yak 2.0 - Base Product :  first.",
              PayloadsManager::Instance()->GetLocalizedErrorString({{"locBasePayloadError", "Install [productName] first."}}));
    PayloadsManager::Release();
}

}  // namespace
