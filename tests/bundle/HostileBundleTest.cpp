// The built program facing hostile bundles and stores: every run ends with a
// defined code and, for the update manager, a results report.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"

namespace {

const char* const kStrings =
    "<Localization>"
    "<String stringID=\"locBasePayloadError\"><en_US>Install [productName]first.</en_US></String>"
    "<String stringID=\"locFailedToInstall\"><en_US> could not be installed.</en_US></String>"
    "</Localization>";

// The unknown error (2147483647) in the 8 bits of an exit status: the session
// could not look at its patches.
const int kNoManager = 255;

class HostileBundle : public ::testing::Test {
protected:
    void SetUp() override {
        InstalledBase(store, machine, Patch("{BASE}", "Suite", "1.0", ""), {"{S1}"}, box / "machine/Applications/Suite",
                      "record-installed=1\n");
        store.Save();
        bundle.Strings(kStrings).AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
        program = bundle.InstallProgram();
    }
    std::vector<std::string> Environment() const {
        return {"KAVEX_SYSTEM_ROOT=" + machine, "KAVEX_UPDATER_CLIENT=/Applications/Updater.app",
                "KAVEX_UPDATER_RESULTS=" + results, "DISPLAY=", "WAYLAND_DISPLAY=", "LANGUAGE=en"};
    }
    ChildResult Run() {
        unlink(results.c_str());
        store.Save();
        return TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    }
    std::string Results() const { return TestFiles::Exists(results) ? TestFiles::Read(results) : "no report"; }
    std::string Invocations() const {
        return machine + "/Library/Application Support/Kavex/Installers/{S1}/invocations.log";
    }
    TestSandbox box;
    std::string machine = box / "machine";
    std::string results = box / "results.txt";
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::string program;
};

TEST_F(HostileBundle, FoldersAndFIFOsInPlaceOfFilesNeitherThrowNorBlock) {
    const std::string proxy = bundle.Root() + "/extensions/P1/P1.proxy.xml";
    const std::string setup = bundle.Root() + "/setup.xml";
    const std::string strings = bundle.Root() + "/resources/main.xml";
    struct Case {
        std::string path;
        bool fifo;
        int status;
        std::string report;
        bool launched;
    };
    // A description that cannot be read stops the session; a string table that
    // cannot be read only leaves the texts empty (the second run finds the patch installed).
    const Case cases[] = {
        {proxy, false, kNoManager, "result=2\nmessage=\n", false},
        {proxy, true, kNoManager, "result=2\nmessage=\n", false},
        {setup, false, kNoManager, "result=2\nmessage=\n", false},
        {setup, true, kNoManager, "result=2\nmessage=\n", false},
        {strings, true, 0, "result=0\n", true},
        {strings, false, 29, "result=0\n", false},
    };
    const std::string proxyText = TestFiles::Read(proxy), stringsText = TestFiles::Read(strings);
    for (const Case& c : cases) {
        TestFiles::RemoveTree(c.path);
        if (c.fifo) ASSERT_EQ(0, mkfifo(c.path.c_str(), 0644)) << c.path;
        else TestFiles::MakeFolders(c.path + "/inner");
        TestFiles::RemoveTree(Invocations());
        ChildResult run = Run();
        EXPECT_EQ(c.status, run.status) << c.path << (c.fifo ? " as a FIFO\n" : " as a folder\n") << run.output;
        EXPECT_EQ(c.report, Results()) << c.path;
        EXPECT_EQ(c.launched, TestFiles::Exists(Invocations())) << c.path;
        TestFiles::RemoveTree(c.path);
        if (c.path == proxy) TestFiles::Write(proxy, proxyText);
        if (c.path == strings) TestFiles::Write(strings, stringsText);
    }
}

TEST_F(HostileBundle, AFailedSessionWithAnUnreadableStringTableStillReports) {
    bundle.SetupXml("<PayloadInfo><Driver>");
    TestFiles::RemoveTree(bundle.Root() + "/resources/main.xml");
    TestFiles::MakeFolders(bundle.Root() + "/resources/main.xml");
    ChildResult run = Run();
    EXPECT_EQ(kNoManager, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("End Kavex Update.  Exit code: 2147483647\n")) << run.output;
    EXPECT_EQ("result=2\nmessage=\n", Results());
}

TEST_F(HostileBundle, PathsUpToTheSystemLimitRunAndLongerOnesEndWithACode) {
    // 3000 bytes of folders: beyond the old 1024-byte limit, within the system's.
    std::string deep = box / "";
    while (deep.size() < 3000) deep += std::string(250, 'd') + "/";
    PatchBundle far(deep + "bundle");
    far.Strings(kStrings).AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    const std::string farProgram = far.InstallProgram();
    ChildResult run = TestProcess::Run({farProgram, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ("result=0\n", Results());

    // Beyond the system's limit the loader cannot find the program's own libraries
    // beside it: the run ends before the program starts, never as success. It is
    // reached through a working folder, one component at a time.
    std::string steps = "set -e; cd '" + box.Path() + "'";
    for (int i = 0; i < 17; ++i) steps += "; mkdir -p " + std::string(250, 'e') + "; cd " + std::string(250, 'e');
    steps += "; cp -a '" + program.substr(0, program.find("/Contents/MacOS/")) + "' .; exec /usr/bin/env ./Update.app/Contents/MacOS/Update --mode=silent";
    unlink(results.c_str());
    ChildResult beyond = TestProcess::Run({"/bin/bash", "-c", steps}, Environment());
    EXPECT_EQ(127, beyond.status) << beyond.output;
    EXPECT_NE(std::string::npos, beyond.output.find("libUpdateCore.so")) << beyond.output;
    TestProcess::Run({"/bin/rm", "-rf", box / std::string(250, 'e')});
}

TEST_F(HostileBundle, ARunawayPatternIsMatchedLiterally) {
    TestFiles::RemoveTree(bundle.Root() + "/extensions");
    ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    patch.processes = {{"(.*)*x", "1"}, {"(a+)+b", "1"}};
    bundle.AddPatch(patch, "P1");
    // A long executable name makes nested repetitions explode.
    const std::string app = box / std::string(200, 'a');
    TestFiles::Write(app, TestFiles::Read("/bin/sleep"));
    chmod(app.c_str(), 0755);
    const int pid = TestProcess::Spawn({app, "60"});
    const std::string logBefore = TestFiles::Read("/tmp/moq.log");
    ChildResult run = Run();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(0, run.status) << run.output;  // neither name, taken literally, is running
    EXPECT_EQ("result=0\n", Results());
    const std::string log = TestFiles::Since("/tmp/moq.log", logBefore);
    EXPECT_NE(std::string::npos, log.find("Conflicting process name (.*)*x cannot be matched within the bound, matching it literally"))
        << log;
}

TEST_F(HostileBundle, AnOversizedProxyIsRefusedUnread) {
    std::string huge = ProxyXml(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string filler = "<Pad/>";
    std::string pad;
    pad.reserve(9 * 1024 * 1024);
    while (pad.size() < 9 * 1024 * 1024) pad += filler;
    huge.insert(huge.find("</PayloadInfo>"), pad);
    TestFiles::Write(bundle.Root() + "/extensions/P1/P1.proxy.xml", huge);
    ChildResult run = Run();
    EXPECT_EQ(kNoManager, run.status) << run.output;
    EXPECT_EQ("result=2\nmessage=\n", Results());
    EXPECT_FALSE(TestFiles::Exists(Invocations()));
}

TEST_F(HostileBundle, StoreValuesAtTheirLimits) {
    // The largest schema version applies no level (and does not overflow).
    store.Sql("UPDATE pcd_meta SET value = '2147483647' WHERE key = 'schema_version'");
    ChildResult largest = Run();
    EXPECT_EQ(0, largest.status) << largest.output;
    EXPECT_EQ("result=0\n", Results());

    // An empty configuration path names nothing: the base product is not there.
    TestFiles::RemoveTree(bundle.Root() + "/extensions");
    ProxyFields next = Patch("{NEXT}", "Suite Update", "1.0.2", "{BASE}");
    next.parentName = "Suite";
    bundle.AddPatch(next, "P2");
    store.ConfigData(1, "{BASE}", "ZTKConfigPath", "");
    ChildResult missing = Run();
    EXPECT_EQ(27, missing.status) << missing.output;
    EXPECT_EQ("result=4\nmessage=Install Suite Update 1.0.2 - Suite : first.\n", Results());
}

}  // namespace
