#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "BundleSignature.h"
#include "DHTMLAlertController.h"
#include "FamilyLockQuery.h"
#include "InstallerEngine.h"
#include "JSMethodPublisherGroup.h"
#include "MacUtils.h"
#include "PatchFixtures.h"
#include "PayloadsManager.h"
#include "PayloadsManagerTestPeer.h"
#include "StoreBuilder.h"
#include "TesmidUserInterfaceJSPublisher.h"
#include "TestSandbox.h"

namespace {

// A window controller that records what the page asked of it.
class TestDelegate : public TSMTesmidUIDelegateProtocol {
public:
    TSMDelegateAnswer setViewWidth(unsigned long width, unsigned long height) override {
        calls.push_back("size " + std::to_string(width) + "x" + std::to_string(height));
        return kTSMYes;
    }
    TSMDelegateAnswer setVisibility(bool visible) override {
        calls.push_back(visible ? "show" : "hide");
        return kTSMYes;
    }
    TSMDelegateAnswer setTitle(const std::string& title) override {
        calls.push_back("title " + title);
        return kTSMNo;  // the answer does not matter
    }
    TSMDelegateAnswer onUpdate() override {
        calls.push_back("update");
        return kTSMYes;
    }
    TSMDelegateAnswer exitDialog(const std::string&) override { throw std::runtime_error("window gone"); }
    TSMDelegateAnswer copyText(const std::string& text) override {
        calls.push_back("copy " + text);
        return kTSMYes;
    }
    std::vector<std::string> calls;
};

// An alert window that stays open until told to close.
class TestAlert : public DHTMLAlertController {
public:
    bool showDHTMLAlert(const std::string& html, std::string& result) override {
        if (showing) return false;
        showing = true;
        if (nested) nested();
        result = "closed:" + html;
        showing = false;
        return true;
    }
    bool showing = false;
    std::function<void()> nested;
};

class MethodSet : public ::testing::Test {
protected:
    void SetUp() override {
        store.Product("{BASE}", "Suite", "1.0", {"{S1}"}).Payload("{DONE}", "Done", "1.0").Member("{S1}", "{DONE}");
        store.Save();
        bundle.AddPatch(Patch("{SHOWN}", "Shown", "1.1", "{BASE}")).AddPatch(Patch("{HIDDEN}", "Hidden", "1.1", "{BASE}"))
            .AddPatch(Patch("{DONE}", "Done", "1.0", "{BASE}"));
        bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{SHOWN}</KavexCode></Driver>"
                        "<Optional><KavexCode display=\"none\">{HIDDEN}</KavexCode></Optional></PayloadInfo>");
        bundle.Strings(TestFiles::Read(std::string(TEST_DATA_DIR) + "/strings/main.xml"));
        publisher.SetDelegate(&delegate);
    }
    void TearDown() override { PayloadsManager::Release(); }
    std::string Call(const std::string& name, const std::vector<std::string>& args = {}) {
        std::string result = "(no result)";
        EXPECT_TRUE(group.InvokeMethodByName(name, args, result)) << name;
        return result;
    }
    FamilyLockQuery::Replacement noOtherInstaller{[](const std::string&) { return false; }};
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    InstallerEngine engine{box / "bundle"};
    TestDelegate delegate;
    TesmidUserInterfaceJSPublisher publisher{&engine};
    std::vector<JSMethodPublisherInterface*> publishers{&publisher};
    JSMethodPublisherGroup group{publishers};
};

TEST_F(MethodSet, WindowMethodsCheckTheirArguments) {
    EXPECT_EQ("", Call("UIResizeWindow", {"600", "400"}));
    EXPECT_EQ("{\"_error\":\"2\"}", Call("UIResizeWindow", {"0", "400"}));
    EXPECT_EQ("{\"_error\":\"2\"}", Call("UIResizeWindow", {"abc", "400"}));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIResizeWindow", {"600"}));
    EXPECT_EQ("", Call("UIShowWindow", {""}));
    EXPECT_EQ("", Call("UIShowWindow", {"1"}));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIShowWindow"));
    EXPECT_EQ("{\"_error\":\"2\"}", Call("UISetWindowTitle", {""}));
    EXPECT_EQ("", Call("UISetWindowTitle", {"Kavex Update"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UISetCloseBoxEnabled", {"1"}));  // not offered by this window
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIStartInstall"));
    EXPECT_EQ("{\"_error\":\"2\"}", Call("UIStartInstall", {""}));
    EXPECT_EQ("", Call("UIStartInstall", {"go"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UICancelUpdate", {"1"}));
    EXPECT_EQ((std::vector<std::string>{"size 600x400", "hide", "show", "title Kavex Update", "update"}), delegate.calls);
    // a method that throws: caught by the publisher; the group still answers, leaving the result as it was
    EXPECT_EQ("(no result)", Call("UIExitDialog", {"done"}));
    publisher.SetDelegate(nullptr);
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIResizeWindow", {"600", "400"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIGetUpdatesStatusMap"));
}

TEST_F(MethodSet, ThePageLearnsWhetherTheBundleIsSigned) {
    EXPECT_TRUE(engine.BundleAccepted());
    EXPECT_EQ("{\"signature\":\"unsigned\",\"keyId\":\"\"}", Call("UIGetBundleSignature"));
    BundleSignature::PublicKey key;
    BundleSignature::SecretKey secret;
    ASSERT_TRUE(BundleSignature::Generate(key, secret));
    const std::string keys = box / "machine/Library/Application Support/Kavex/TrustedKeys";
    TestFiles::Write(keys + "/team.pub", BundleSignature::PublicKeyText(key));
    chmod(keys.c_str(), 0755);
    EXPECT_FALSE(engine.BundleAccepted());
    EXPECT_EQ("{\"signature\":\"invalid\",\"keyId\":\"\"}", Call("UIGetBundleSignature"));
    EXPECT_EQ(nullptr, engine.InitializePayloadsManager()) << "a refused bundle is never classified";
    TestFiles::RemoveTree(keys);
    EXPECT_TRUE(engine.BundleAccepted());  // the tests after this one run unsigned
}

TEST_F(MethodSet, ArgumentCountAndEmptyArgumentErrorsOfEveryMethod) {
    const std::string badCount = "{\"_error\":\"1\"}", badArg = "{\"_error\":\"2\"}";
    struct Case {
        const char* method;
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {"UIResizeWindow", {}, badCount},           {"UIResizeWindow", {"1", "2", "3"}, badCount},
        {"UIResizeWindow", {"", "2"}, badArg},       {"UIShowWindow", {"1", "1"}, badCount},
        {"UISetWindowTitle", {}, badCount},         {"UISetWindowTitle", {""}, badArg},
        {"UISetCloseBoxEnabled", {}, badCount},     {"UISetCloseBoxEnabled", {""}, badArg},
        {"UIGetUpdatesStatusMap", {"x"}, badCount}, {"UIGetAlreadyUpdatedStatusMap", {"x"}, badCount},
        {"UIGetParentNotInstalledUpdatesStatusMap", {"x"}, badCount},
        {"UIGetHigherUpdateDetectedStatusMap", {"x"}, badCount},
        {"UICancelUpdate", {}, badCount},           {"UICancelUpdate", {""}, badArg},
        {"UIStartInstall", {"a", "b"}, badCount},   {"UIStartInstall", {""}, badArg},
        {"GetDefaultProperties", {"x"}, badCount},  {"LoadFile", {"a", "b"}, badCount},
        {"UIShowModalAlert", {"a", "b"}, badCount}, {"UIShowModalAlert", {""}, badArg},
        {"GetConflictingProcessList", {"x"}, badCount}, {"CheckForDiskSpace", {"x"}, badCount},
        {"UIGetSuccessPayloadsMap", {"x"}, badCount},   {"UIGetFailedPayloadsMap", {"x"}, badCount},
        {"AcquireSetupLock", {"x"}, badCount},      {"UIGetUpdateSizes", {"x"}, badCount},
        {"UIGetErrorText", {"x"}, badCount},        {"UIGetBundleSignature", {"x"}, badCount},
        {"UIGetInstallOutcome", {"x"}, badCount},   {"UIGetLockHolder", {"x"}, badCount},
        {"UICopyText", {}, badCount},               {"UICopyText", {""}, badArg},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Call(c.method, c.args)) << c.method << " with " << c.args.size();
    // methods that ignore their arguments answer as usual
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIGetInitialErrors", {"a", "b", "c"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIGetPayloadProgress", {"a"}));
    EXPECT_EQ(31u, group.GetAllMethods().size());
    EXPECT_TRUE(delegate.calls.empty());  // no argument error reached the window
}

TEST_F(MethodSet, StatusListsHideWhatSetupHidesButSessionListsDoNot) {
    EXPECT_EQ("{\"{SHOWN}\":\"Shown 1.1\"}", Call("UIGetUpdatesStatusMap"));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIGetUpdatesStatusMap", {"x"}));
    EXPECT_EQ("{\"{DONE}\":\"Done 1.0\"}", Call("UIGetAlreadyUpdatedStatusMap"));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIGetParentNotInstalledUpdatesStatusMap"));  // empty list
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIGetHigherUpdateDetectedStatusMap"));
    PayloadsManager* manager = engine.GetPayloadsManager();
    PayloadsManagerTestPeer::AddSucceeded(*manager, "{HIDDEN}", "Hidden 1.1");
    PayloadsManagerTestPeer::AddFailed(*manager, "{HIDDEN}", "Hidden 1.1");
    EXPECT_EQ("{\"{HIDDEN}\":\"Hidden 1.1\"}", Call("UIGetSuccessPayloadsMap"));
    EXPECT_EQ("{\"{HIDDEN}\":\"Hidden 1.1\"}", Call("UIGetFailedPayloadsMap"));
}

TEST_F(MethodSet, PropertiesStringsAndFiles) {
    setenv("LANGUAGE", "fr", 1);
    EXPECT_EQ("{\"defaultLanguage\":\"fr_FR\",\"installSourcePath\":\"" + box / "bundle" +
                  "\",\"platform\":\"OSX\",\"productName\":\"Shown\"}",
              Call("GetDefaultProperties"));
    unsetenv("LANGUAGE");
    EXPECT_EQ("{\"_error\":\"1\"}", Call("GetDefaultProperties", {"x"}));
    EXPECT_EQ("{\"locQuit\":\"Quitter\",\"locRetry\":\"R\xC3\xA9" "essayer\"}", Call("GetStringsForLanguage", {"fr_FR"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("GetStringsForLanguage", {"x') or ('1"}));
    EXPECT_EQ("{\"locQuit\":\"Quitter\",\"locRetry\":\"R\xC3\xA9" "essayer\"}", Call("GetStringsForLanguage", {"fr_CA"}));

    // The page reads its own files only: below resources/, by name or full path, never through a link.
    const std::string pages = box / "bundle" + "/resources";
    TestFiles::Write(pages + "/empty.txt", "");
    TestFiles::Write(pages + "/texts/text.txt", "it's \"quoted\"\n");
    TestFiles::Write(box / "secret.txt", "root's own");
    EXPECT_EQ("{\"data\":\"\"}", Call("LoadFile", {"empty.txt"}));
    EXPECT_EQ("{\"data\":\"it\\'s \\\"quoted\\\"\\n\"}", Call("LoadFile", {"texts/text.txt"}));
    EXPECT_EQ(Call("LoadFile", {"texts/text.txt"}), Call("LoadFile", {pages + "/texts/text.txt"}));
    EXPECT_EQ("{\"_error\":\"4\"}", Call("LoadFile", {"missing.txt"}));
    ASSERT_EQ(0, mkfifo((pages + "/fifo").c_str(), 0644));
    ASSERT_EQ(0, symlink((box / "secret.txt").c_str(), (pages + "/link.txt").c_str()));
    ASSERT_EQ(0, symlink(box.Path().c_str(), (pages + "/up").c_str()));
    for (const std::string& refused : {std::string("fifo"), std::string("texts"), std::string("link.txt"),
                                       std::string("up/secret.txt"), std::string("../../secret.txt"),
                                       box / "secret.txt", std::string("/dev/zero"), pages + "/../../secret.txt"}) {
        EXPECT_EQ("{\"_error\":\"9999\"}", Call("LoadFile", {refused})) << refused;
    }
    EXPECT_EQ("{\"_error\":\"1\"}", Call("LoadFile"));
    EXPECT_EQ("{\"banner\":\"1\"}", Call("FileExists", {box / "secret.txt"}));
    EXPECT_EQ("{\"banner\":\"0\"}", Call("FileExists", {box / "missing.txt"}));
    EXPECT_EQ("{\"banner\":\"0\"}", Call("FileExists"));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIGetInitialErrors"));
}

TEST_F(MethodSet, ChecksWithAndWithoutAProblem) {
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("CheckForDiskSpace"));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("CheckForDiskSpace", {"x"}));
    PayloadsManager* manager = engine.GetPayloadsManager();
    PayloadsManagerTestPeer::SetPlanFolders(*manager, {"/dev/shm"}, {UINT64_MAX / 2});
    const std::string shortage = Call("CheckForDiskSpace");
    EXPECT_EQ(0u, shortage.find("{\"spaceReq\":\""));
    // The volume also by its mount point, with what the plan puts there (half of what it needs) and what is free.
    EXPECT_NE(std::string::npos, shortage.find("\",\"volume\":\"shm\",\"_error\":\"kNotEnoughDiskSpace\",\"mountPoint\":\"/dev/shm\","
                                               "\"plannedMB\":\"" + std::to_string(UINT64_MAX / 2 / 1048576) + "\",\"spaceFree\":\""))
        << shortage;

    PayloadsManagerTestPeer::SetConflictingProcesses({{"NoSuchKvxProcess", "1"}});
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("GetConflictingProcessList"));
    TestSandbox apps;
    std::vector<int> pids;
    for (const std::string name : {"KvxPageBlocker", "KvxPageWarner"}) {
        TestFiles::Write(apps / name, TestFiles::Read("/bin/sleep"));
        chmod((apps / name).c_str(), 0755);
        pids.push_back(TestProcess::Spawn({apps / name, "30"}));
    }
    PayloadsManagerTestPeer::SetConflictingProcesses({{"KvxPageBlocker", "1"}, {"KvxPageWarner", "0"}});
    const std::string answer = Call("GetConflictingProcessList");
    for (int pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ("{\"_blockProcList\":\"<br>KvxPageBlocker\",\"_warnProcList\":\"<br>KvxPageWarner\"}", answer);
}

// Per patch: installed only where every installation has it; what failed, with its cause.
TEST_F(MethodSet, InstallOutcomePerInstallation) {
    PayloadsManager* manager = engine.GetPayloadsManager();
    EXPECT_EQ("{}", Call("UIGetInstallOutcome"));
    {
        auto entry = [](const char* code, const char* session, const char* name, const char* folder, bool done, int result) {
            PlanEntry e;
            e.code = code;
            e.sessionID = session;
            e.displayName = name;
            e.installFolder = folder;
            e.done = done;
            e.result = result;
            e.product = "Suite";
            return e;
        };
        PayloadsManagerTestPeer::SetPlan(*manager, {entry("{SHOWN}", "{S1}", "Shown 1.1", "/opt/Suite", true, 0),
                                                    entry("{SHOWN}", "{S2}", "Shown 1.1", "", false, -1),
                                                    entry("{HIDDEN}", "{S1}", "Hidden 1.1", "/opt/Suite", true, 28),
                                                    entry("{DONE}", "{S1}", "Done 1.0", "/opt/Suite", true, 0)});
        // Installed there by an earlier run: counted, named, and first.
        PayloadsManagerTestPeer::SetHeld(*manager, {{"{DONE}", "Done 1.0", "{S0}", "Suite", "/srv/a/Suite"}});
        LaunchRecord failed;
        failed.code = "{HIDDEN}";
        failed.sessionID = "{S1}";
        failed.launched = true;
        failed.exitStatus = 3;
        failed.result = 28;
        failed.undoPending = true;  // its copies could not all be taken back: not "as it was"
        PayloadsManagerTestPeer::SetLaunches(*manager, {failed});
        PayloadsManagerTestPeer::SetFailed(*manager, {{"{HIDDEN}", "Hidden 1.1"}, {"{LOST}", "Lost 2.0"}});
    }
    const std::string suite = "\"product\":\"Suite\",\"folder\":\"/opt/Suite\",\"fullFolder\":\"/opt/Suite\",\"session\":\"{S1}\",";
    EXPECT_EQ("{\"0000\":{\"code\":\"{DONE}\",\"name\":\"Done 1.0\",\"state\":\"installed\",\"installedIn\":\"2\",\"installations\":\"2\","
              "\"remaining\":\"\",\"places\":{\"i1000\":{\"product\":\"Suite\",\"folder\":\"\u2026/a/Suite\",\"fullFolder\":\"/srv/a/Suite\","
              "\"session\":\"{S0}\",\"state\":\"installed\",\"earlier\":\"1\"},\"i1001\":{" + suite + "\"state\":\"installed\",\"earlier\":\"0\"}}},"
              "\"0001\":{\"code\":\"{SHOWN}\",\"name\":\"Shown 1.1\",\"state\":\"partial\",\"installedIn\":\"1\",\"installations\":\"2\","
              "\"remaining\":\"{S2}\",\"places\":{\"i1000\":{" + suite + "\"state\":\"installed\",\"earlier\":\"0\"},"
              "\"i1001\":{\"product\":\"Suite\",\"folder\":\"\",\"fullFolder\":\"\",\"session\":\"{S2}\",\"state\":\"notStarted\",\"earlier\":\"0\"}}},"
              "\"0002\":{\"code\":\"{HIDDEN}\",\"name\":\"Hidden 1.1\",\"state\":\"failed\",\"installedIn\":\"0\",\"installations\":\"1\","
              "\"remaining\":\"/opt/Suite\",\"places\":{\"i1000\":{" + suite + "\"state\":\"failed\",\"earlier\":\"0\"}},"
              "\"cause\":\"status\",\"exitStatus\":\"3\",\"signal\":\"0\",\"unchanged\":\"0\",\"undoPending\":\"1\",\"where\":\"/opt/Suite\"},"
              "\"0003\":{\"code\":\"{LOST}\",\"name\":\"Lost 2.0\",\"state\":\"failed\",\"installedIn\":\"0\",\"installations\":\"0\","
              "\"remaining\":\"\",\"places\":{},\"cause\":\"noInstallation\",\"exitStatus\":\"-1\",\"signal\":\"0\",\"unchanged\":\"1\",\"undoPending\":\"0\",\"where\":\"\"}}",
              Call("UIGetInstallOutcome"));
    EXPECT_EQ("", Call("UICopyText", {"the details"}));
    EXPECT_EQ((std::vector<std::string>{"copy the details"}), delegate.calls);
}

TEST_F(MethodSet, ProgressAndPreparation) {
    EXPECT_EQ("{\"_error\":\"9999\"}", Call("UIGetPayloadProgress"));
    EXPECT_EQ("{\"Progress\":{\"percentage\":\"0\",\"curPayload\":\"\"},\"_error\":\"\",\"_blockProcList\":\"\",\"_warnProcList\":\"\","
              "\"_step\":\"0\",\"_steps\":\"0\",\"_product\":\"\",\"_folder\":\"\",\"_stopping\":\"0\",\"_asking\":\"0\"}",
              Call("UIGetProgress", {"ignored"}));
    // Sizes only of what can be installed, hidden ones included (they go with the driver).
    EXPECT_EQ("{\"{HIDDEN}\":\"1000\",\"{SHOWN}\":\"1000\"}", Call("UIGetUpdateSizes"));
    PayloadsManager* manager = engine.GetPayloadsManager();
    manager->InstallPayload(&engine, true, true);
    EXPECT_EQ("{\"_error\":\"DONE\"}", Call("UIGetPayloadProgress"));
    manager->Progress().Modify([](ProgressResult& p) {
        p.mPercent = 42;
        p.mTitle = "Shown 1.1";
        p.mErrorName = "kRollBack";
        p.mStep = 1;
        p.mSteps = 2;
        p.mProduct = "Suite";
        p.mShownFolder = "\u2026/opt/Suite";
    });
    manager->SetContinueInstall(false);
    manager->Gate().Hold();  // the user is being asked whether to stop
    EXPECT_EQ("{\"Progress\":{\"percentage\":\"42\",\"curPayload\":\"Shown 1.1\"},\"_error\":\"kRollBack\",\"_blockProcList\":\"\",\"_warnProcList\":\"\","
              "\"_step\":\"1\",\"_steps\":\"2\",\"_product\":\"Suite\",\"_folder\":\"\u2026/opt/Suite\",\"_stopping\":\"1\",\"_asking\":\"1\"}",
              Call("UIGetProgress"));
    manager->Gate().Release();
    // The manager's message for the session's code, and where to read more.
    PayloadsManagerTestPeer::AddFailed(*manager, "{SHOWN}", "Shown 1.1");
    setenv("LANGUAGE", "fr", 1);
    EXPECT_EQ("{\"message\":\"Hidden 1.1,Shown 1.1:\",\"logPath\":\"/tmp/moq.log\"}", Call("UIGetErrorText"));
    unsetenv("LANGUAGE");
}

TEST_F(MethodSet, OneModalAlertAtATime) {
    static TestAlert* alert = new TestAlert();
    DHTMLAlertController::SetMaker([] { return std::unique_ptr<DHTMLAlertController>(alert); });
    std::string nestedAnswer;
    alert->nested = [&] { nestedAnswer = Call("UIShowModalAlert", {"<p>second</p>"}); };
    EXPECT_EQ("{\"returnValue\":\"closed:<p>first</p>\"}", Call("UIShowModalAlert", {"<p>first</p>"}));
    EXPECT_EQ("{\"_error\":\"9999\"}", nestedAnswer);
    EXPECT_EQ("{\"_error\":\"2\"}", Call("UIShowModalAlert", {""}));
    EXPECT_EQ("{\"_error\":\"1\"}", Call("UIShowModalAlert"));
}

// A worker updates the record as fast as it can while the page reads it; every
// reading must be one whole update (the title names the percentage it came with).
TEST(ProgressRecord, EverySnapshotIsOneWholeUpdate) {
    GuardedProgress progress;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 200000; ++i) {
            progress.Modify([i](ProgressResult& p) {
                p.mPercent = i % 100;
                p.mTitle = "payload-" + std::to_string(i % 100) + std::string(static_cast<size_t>(i % 7) * 10, 'x');
                p.mErrorName = std::to_string(i % 100);
            });
        }
        done = true;
    });
    long readings = 0, torn = 0;
    while (!done) {
        const ProgressResult snapshot = progress.Snapshot();
        if (snapshot.mTitle.empty()) continue;  // before the first update
        const std::string expected = "payload-" + std::to_string(snapshot.mPercent);
        const bool whole = snapshot.mTitle.compare(0, expected.size(), expected) == 0 &&
                           (snapshot.mTitle.size() == expected.size() || snapshot.mTitle[expected.size()] == 'x') &&
                           std::to_string(snapshot.mPercent) == snapshot.mErrorName;
        torn += whole ? 0 : 1;
        ++readings;
    }
    worker.join();
    EXPECT_EQ(0, torn) << "of " << readings << " readings";
    EXPECT_GT(readings, 0);
}

}  // namespace
