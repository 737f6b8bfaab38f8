#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FileSystemVolume.h"
#include "PatchFixtures.h"
#include "PayloadsManager.h"
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
            mPids.push_back(TestProcess::Spawn({path, "60"}));
        }
        // wait until every one of them shows up as running
        for (int attempt = 0; attempt < 200; ++attempt) {
            std::vector<std::pair<std::string, std::string> > running;
            PayloadsManager::ImplGetRunningApplicationNamePairs(running);
            size_t seen = 0;
            for (const std::string& name : names) {
                for (const auto& app : running) seen += app.first == name ? 1 : 0;
            }
            if (seen >= names.size()) break;
            usleep(10000);
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
    EXPECT_EQ(30, PayloadsManager::mErrorCode.load());
    EXPECT_EQ("kConflictingProcessRunning", M().mProgress.ErrorName());

    std::string none, noWarning;
    EXPECT_FALSE(PayloadsManager::IsConflictingProcess({Entry("NoSuchKvxApp", "1")}, none, noWarning));
    EXPECT_EQ("", none);
    EXPECT_EQ(0, PayloadsManager::mErrorCode.load());
    EXPECT_EQ("", M().mProgress.ErrorName());
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

TEST_F(Checks, ConflictMessagesSingularAndPlural) {
    const Dictionary strings = {{"locConflictingProcessErrorBody", "Close these:"}, {"locConflictingProcessErrorBodySing", "Close this:"}};
    RunningApps apps({"KvxAlpha", "KvxBeta"});
    PayloadsManager::sVecConProc = {Entry("KvxAlpha", "1")};
    PayloadsManager::mErrorCode = 30;
    EXPECT_EQ("Close this:\r\nKvxAlpha", M().GetLocalizedErrorString(strings));
    PayloadsManager::sVecConProc = {Entry("KvxAlpha", "1"), Entry("KvxBeta", "1")};
    PayloadsManager::mErrorCode = 30;
    EXPECT_EQ("Close these:\r\nKvxAlpha\r\nKvxBeta", M().GetLocalizedErrorString(strings));
    PayloadsManager::mErrorCode = 30;
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
    M().mPlanInstallFolders = {box / "App", box / "Other", "/dev/shm/App", ""};
    M().mPlanSizes = {freeRoot / 4, freeRoot / 4 + 1048576, freeShm, 5};
    ASSERT_TRUE(M().GetDiskSpaceIfNeeded(space, volume));
    const bool boxFirst = rootOfBox.AsUTF8String() < "/dev/shm";
    std::string expectedName;
    FileSystemVolume(boxFirst ? FileSystemPath(box.Path()) : FileSystemPath("/dev/shm")).FriendlyNameUTF8(expectedName);
    EXPECT_EQ(expectedName, volume);
    const uint64_t total = boxFirst ? freeRoot / 4 * 2 + 1048576 : freeShm;
    EXPECT_EQ(std::to_string(total * 2 / 1048576), space);

    PayloadsManager::mErrorCode = 25;
    EXPECT_EQ("Need " + space + " MB on " + volume + ".",
              M().GetLocalizedErrorString({{"locnotEnoughDiskSpaceBody", "Need [spaceReq] MB on [volume]."}}));
}

TEST_F(Checks, ErrorNamesFollowTheCode) {
    GuardedProgress& progress = M().mProgress;
    PayloadsManager::MapErrorCodeToJSError(progress, 25);
    EXPECT_EQ("kNotEnoughDiskSpace", progress.ErrorName());
    for (int keeps : {26, 27, 29}) {
        PayloadsManager::MapErrorCodeToJSError(progress, keeps);
        EXPECT_EQ("kNotEnoughDiskSpace", progress.ErrorName());
        EXPECT_EQ(keeps, PayloadsManager::mErrorCode.load());
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
    PayloadsManager::mErrorCode = 26;
    EXPECT_EQ("A newer patch is installed.", M().GetLocalizedErrorString(strings));
    PayloadsManager::mErrorCode = 28;
    M().mFailedPayloads = {{"{A}", "Alpha 1.1"}, {"{B}", "Beta 2.0"}};
    EXPECT_EQ("Alpha 1.1,Beta 2.0:could not be installed.", M().GetLocalizedErrorString(strings));
    PayloadsManager::mErrorCode = 28;
    M().mFailedPayloads.clear();
    EXPECT_EQ("", M().GetLocalizedErrorString({}));
    PayloadsManager::mErrorCode = 34;
    EXPECT_EQ("Quit the other installer to update Suite Patch.", M().GetLocalizedErrorString(strings));
    PayloadsManager::mErrorCode = 12;
    EXPECT_EQ("", M().GetLocalizedErrorString(strings));
    PayloadsManager::mErrorCode = 27;
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
    PayloadsManager::mErrorCode = 27;
    EXPECT_EQ("Install Xylo 1.1 - Base Product,Yak 2.0 - Base Product :  first.",
              PayloadsManager::Instance()->GetLocalizedErrorString({{"locBasePayloadError", "Install [productName] first."}}));
    PayloadsManager::Release();
}

}  // namespace
