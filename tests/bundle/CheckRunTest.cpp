// The check mode and the run report, end to end on the built program.
#include <ftw.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "JsonSchemaSubset.h"
#include "LockHolder.h"
#include "SilentRunFixture.h"

using nlohmann::json;

namespace {

std::string* gListing = nullptr;

int ListEntry(const char* path, const struct stat* st, int, struct FTW*) {
    std::ostringstream line;
    line << path << ' ' << std::oct << st->st_mode << std::dec << ' ' << st->st_size << ' ' << st->st_mtim.tv_sec << '.'
         << st->st_mtim.tv_nsec << '\n';
    *gListing += line.str();
    return 0;
}

// Every entry under root with its mode, size and modification time.
std::string Listing(const std::string& root) {
    std::string listing;
    gListing = &listing;
    nftw(root.c_str(), ListEntry, 16, FTW_PHYS);
    gListing = nullptr;
    return listing;
}

json ReadJson(const std::string& path) {
    const std::string text = TestFiles::Read(path);
    return json::parse(text, nullptr, false);
}

void ExpectConforms(const json& report, const std::string& what) {
    static const json schema = ReadJson(REPORT_SCHEMA);
    ASSERT_FALSE(schema.is_discarded());
    ASSERT_FALSE(report.is_discarded()) << what << ": not JSON";
    for (const std::string& problem : JsonSchemaSubset::Validate(schema, report)) ADD_FAILURE() << what << ": " << problem;
}

std::map<std::string, std::string> Verdicts(const json& report) {
    std::map<std::string, std::string> verdicts;
    for (const json& patch : report["patches"]) {
        const std::string key = patch["code"].get<std::string>() + (patch["kept"].get<bool>() ? "" : " (second)");
        verdicts[key] = patch["verdict"].get<std::string>() + (patch["hidden"].get<bool>() ? ", hidden" : "");
    }
    return verdicts;
}

std::multiset<std::string> Kinds(const json& report) {
    std::multiset<std::string> kinds;
    for (const json& problem : report["bundleProblems"]) kinds.insert(problem["kind"].get<std::string>());
    return kinds;
}

class CheckRun : public SilentRun {
protected:
    void SetUp() override {
        // Named locks of our own: other runs on this machine cannot hold them, nor these theirs.
        ASSERT_EQ(0, unshare(CLONE_NEWIPC));
        results = outside / "results.txt";  // out of the listed sandbox
        SilentRun::SetUp();
    }
    // One patch of each verdict, a duplicate, and a bundle with a few faults of its own.
    void OneOfEach() {
        store.Payload("{DONE}", "Suite Fix", "1.0.0").Member("{S1}", "{DONE}").Member("{S2}", "{DONE}");
        store.Payload("{NEWER}", "Suite Update", "1.0.2").Member("{S1}", "{NEWER}").Constraint("{NEWER}", "{OLDER}");
        ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
        patch.processes = {{"KvxNeverRuns", "1"}, {"Kvx(", "0"}};
        bundle.AddPatch(patch, "A-Patch");
        bundle.AddPatch(Patch("{PATCH}", "Suite Update Again", "1.0.1", "{BASE}"), "B-Copy");
        bundle.AddPatch(Patch("{DONE}", "Suite Fix", "1.0.0", "{BASE}"), "C-Done");
        bundle.AddPatch(Patch("{OLDER}", "Suite Update", "1.0.0", "{BASE}"), "D-Older");
        ProxyFields orphan = Patch("{ORPHAN}", "Video Update", "2.0.1", "{VIDEO}");
        orphan.totalSize = "";
        bundle.AddPatch(orphan, "E-Orphan");
        bundle.SetupXml("<PayloadInfo><Optional><KavexCode display=\"none\">{OLDER}</KavexCode>"
                        "<KavexCode>{GHOST}</KavexCode></Optional></PayloadInfo>");
        bundle.Strings("<Localization><String stringID=\"locQuit\"><en_US>Quit</en_US><fr_FR>Quitter</fr_FR></String>"
                       "<String stringID=\"locRetry\"><en_US>Retry</en_US></String></Localization>");
        store.Save();
    }
    ChildResult Program(const std::vector<std::string>& arguments, bool asNobody = false) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return TestProcess::Run(argv, Environment(), asNobody);
    }
    size_t Launches(const std::string& session) const {
        const std::string log = SetupFolder(session) + "/invocations.log";
        return TestFiles::Exists(log) ? TestFiles::Lines(TestFiles::Read(log)).size() : 0;
    }
    TestSandbox outside;
};

TEST_F(CheckRun, ChangesNothingAndForetellsTheSilentRun) {
    OneOfEach();
    const std::string before = Listing(box.Path());
    ChildResult check = Program({"--mode=Check", "--report=" + (outside / "check.json")});
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_EQ(before, Listing(box.Path()));  // no copy, no launch, no store write, no backup
    EXPECT_EQ(0u, Launches("{S1}") + Launches("{S2}"));
    EXPECT_FALSE(TestFiles::Exists(results)) << "the update manager would read an installation's result";
    EXPECT_EQ(0u, check.output.find("Begin Kavex Update\nUI mode: Check\n")) << check.output;
    for (const char* line : {"Patch {DONE} Suite Fix 1.0.0: already installed - ",
                             "Patch {OLDER} Suite Update 1.0.0: a higher patch installed (hidden) - ",
                             "Patch {ORPHAN} Video Update 2.0.1: base product missing - ",
                             ": not kept: duplicate code - an earlier proxy has the same code", "Lock VORNSetupLock: free",
                             "Conflicting applications: none running", "Launch {PATCH} in session {S2}, working folder ",
                             "Check result: 0 (Success)\nEnd Kavex Update.  Exit code: 0\n"}) {
        EXPECT_NE(std::string::npos, check.output.find(line)) << line << "\n" << check.output;
    }

    const json predicted = ReadJson(outside / "check.json");
    ExpectConforms(predicted, "check");
    EXPECT_EQ("check", predicted["mode"]);
    EXPECT_EQ((std::map<std::string, std::string>{{"{DONE}", "alreadyInstalled"},
                                                  {"{OLDER}", "higherPatchInstalled, hidden"},
                                                  {"{ORPHAN}", "baseProductMissing"},
                                                  {"{PATCH}", "available"},
                                                  {"{PATCH} (second)", "duplicateCode"}}),
              Verdicts(predicted));
    EXPECT_EQ((std::multiset<std::string>{"codeWithoutProxy", "patternInvalid", "stringMissing", "totalSizeMissing"}),
              Kinds(predicted));
    EXPECT_EQ(2u, predicted["plan"].size());
    EXPECT_TRUE(predicted["launches"].empty());
    EXPECT_EQ("beforeLaunches", predicted["checks"]["when"]);

    ChildResult silent = Program({"--mode=silent", "--report=" + (outside / "silent.json")});
    EXPECT_EQ(check.status, silent.status) << silent.output;
    const json done = ReadJson(outside / "silent.json");
    ExpectConforms(done, "silent");
    // The check foretold the verdicts; the run adds how far it got with each patch.
    json verdicts = done["patches"];
    for (json& patch : verdicts) patch["installation"] = nullptr;
    EXPECT_EQ(predicted["patches"], verdicts);
    // Load order is the folder's listing order, which the file system decides: found by code.
    json kept, second;
    for (const json& patch : done["patches"]) {
        if (patch["code"] == "{PATCH}") (patch["kept"].get<bool>() ? kept : second) = patch;
    }
    ASSERT_TRUE(kept["installation"].is_object() && second.is_object()) << done["patches"].dump(1);
    EXPECT_EQ("installed", kept["installation"]["state"]) << kept;
    EXPECT_EQ(2u, kept["installation"]["installed"].size());
    EXPECT_TRUE(second["installation"].is_null());  // the second proxy of a code is not the one installed
    EXPECT_EQ(predicted["plan"], done["plan"]);
    EXPECT_EQ(predicted["exit"], done["exit"]);
    ASSERT_EQ(2u, done["launches"].size());
    for (size_t i = 0; i < 2; ++i) {
        const json& launch = done["launches"][i];
        const json& planned = predicted["plan"][i];
        EXPECT_EQ(planned["setupPath"], launch["setupPath"]);
        EXPECT_EQ(planned["arguments"], launch["arguments"]);
        EXPECT_EQ(planned["workingFolder"], launch["workingFolder"]);
        EXPECT_EQ(0, launch["exitStatus"]);
        EXPECT_FALSE(launch["rolledBack"].get<bool>());
        // What the setup itself saw: its working folder, then its command line.
        std::string seen = launch["workingFolder"].get<std::string>() + "\t" + launch["setupPath"].get<std::string>();
        for (const json& argument : launch["arguments"]) seen += "\t" + argument.get<std::string>();
        EXPECT_EQ(std::vector<std::string>{seen},
                  TestFiles::Lines(TestFiles::Read(SetupFolder(launch["sessionID"].get<std::string>()) + "/invocations.log")));
    }
    // The run's own lines lie in its range; other sessions may write in between.
    const std::vector<std::string> log = TestFiles::Lines(TestFiles::Read("/tmp/moq.log"));
    const size_t first = done["log"]["firstLine"], last = done["log"]["lastLine"];
    ASSERT_TRUE(first >= 1 && first <= last && last <= log.size()) << done["log"].dump();
    const std::string stamp = "[" + std::to_string(done["log"]["pid"].get<int>()) + "] ";
    std::string own;
    for (size_t i = first - 1; i < last; ++i) {
        if (log[i].find(stamp) != std::string::npos) own += log[i].substr(log[i].find(stamp) + stamp.size()) + "\n";
    }
    EXPECT_EQ(0u, own.find("MOQ: _info_: *****")) << own;
    EXPECT_NE(std::string::npos, own.find("Starting the Patch Session"));
    EXPECT_NE(std::string::npos, own.find("Launched the Main Setup with Command"));
    EXPECT_EQ(std::string::npos, own.find("Ending the Patch Session"));  // written after the report
}

TEST_F(CheckRun, EveryLaunchIsReportedWithHowItEnded) {
    TestFiles::Write(SetupFolder("{S1}") + "/standin.conf", "exit=7\n");
    TestFiles::Write(SetupFolder("{S2}") + "/standin.conf", "signal=9\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "Update");
    // Had every launch succeeded: what the check tells.
    EXPECT_EQ(0, Program({"--mode=check"}).status);
    ChildResult run = Program({"--mode=silent", "--report=" + (outside / "report.json")});
    EXPECT_EQ(28, run.status) << run.output;
    const json report = ReadJson(outside / "report.json");
    ExpectConforms(report, "silent");
    EXPECT_EQ(28, report["exit"]["code"]);
    EXPECT_EQ("Suite Update 1.0.1: could not be installed.", report["exit"]["message"]);
    ASSERT_EQ(2u, report["launches"].size());
    const json& exited = report["launches"][0];
    const json& killed = report["launches"][1];
    EXPECT_EQ("{S1}", exited["sessionID"]);
    EXPECT_EQ(7, exited["exitStatus"]);
    EXPECT_TRUE(exited["signal"].is_null());
    EXPECT_EQ("{S2}", killed["sessionID"]);
    EXPECT_TRUE(killed["exitStatus"].is_null());
    EXPECT_EQ(9, killed["signal"]);
    for (const json& launch : report["launches"]) {
        EXPECT_TRUE(launch["launched"].get<bool>());
        EXPECT_TRUE(launch["rolledBack"].get<bool>());
        EXPECT_FALSE(launch["undoPending"].get<bool>());
        EXPECT_EQ(28, launch["result"]);
    }
    // The session's own patch lock, not another installer's.
    EXPECT_EQ("heldByThisRun", report["checks"]["locks"][2]["state"]);
    EXPECT_EQ("atReport", report["checks"]["when"]);
}

TEST_F(CheckRun, OrdinaryUserLockHolderAndPlantedLink) {
    OneOfEach();
    ASSERT_EQ(0, chmod(box.Path().c_str(), 0755));
    ASSERT_EQ(0, chmod(outside.Path().c_str(), 0777));
    const std::string before = Listing(box.Path());
    ChildResult user = Program({"--mode=check", "--report=" + (outside / "user.json")}, true);
    EXPECT_EQ(0, user.status) << user.output;
    EXPECT_EQ(before, Listing(box.Path()));
    const json asUser = ReadJson(outside / "user.json");
    ExpectConforms(asUser, "ordinary user");
    EXPECT_EQ("available", Verdicts(asUser)["{PATCH}"]);
    EXPECT_EQ(2u, asUser["plan"].size());

    // Another installer of the family holds its lock: named, with its process.
    LockHolder holder("VORNBootstrapperLock");
    ASSERT_TRUE(holder.Held());
    const int holderPid = holder.Pid();
    ChildResult held = Program({"--mode=check", "--report=" + (outside / "held.json")});
    const std::string holderName = TestFiles::Lines(TestFiles::Read("/proc/" + std::to_string(holderPid) + "/comm"))[0];
    holder.Release();
    EXPECT_EQ(34, held.status) << held.output;
    EXPECT_NE(std::string::npos,
              held.output.find("Lock VORNBootstrapperLock: busy, held by pid " + std::to_string(holderPid) + " (" + holderName + ")"))
        << held.output;
    const json busy = ReadJson(outside / "held.json");
    ExpectConforms(busy, "lock held");
    EXPECT_EQ("busy", busy["checks"]["locks"][1]["state"]);
    EXPECT_EQ(holderPid, busy["checks"]["locks"][1]["holder"]["pid"]);

    // A link planted at the report's name: refused, and nothing written through it.
    TestFiles::Write(outside / "target", "keep");
    ASSERT_EQ(0, symlink((outside / "target").c_str(), (outside / "planted.json").c_str()));
    ChildResult planted = Program({"--mode=check", "--report=" + (outside / "planted.json")});
    EXPECT_EQ(0, planted.status) << planted.output;
    EXPECT_NE(std::string::npos, planted.output.find("planted.json is not written: it is a link")) << planted.output;
    EXPECT_EQ("keep", TestFiles::Read(outside / "target"));
    struct stat st;
    ASSERT_EQ(0, lstat((outside / "planted.json").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A bundle that cannot even be classified still ends with a report naming the faulty proxy.
TEST_F(CheckRun, AProxyThatDoesNotLoadIsNamedWithItsLine) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "Update");
    TestFiles::Write(bundle.Root() + "/extensions/Broken/Broken.proxy.xml", "<PayloadInfo>\n<InstallerProperties>\n</Payload>\n");
    ChildResult check = Program({"--mode=check", "--report=" + (outside / "broken.json")});
    EXPECT_NE(0, check.status) << check.output;
    const json report = ReadJson(outside / "broken.json");
    ExpectConforms(report, "broken bundle");
    EXPECT_EQ(check.status, report["exit"]["code"].get<int>() & 0xFF);
    ASSERT_EQ(1u, report["bundleProblems"].size()) << report["bundleProblems"].dump();
    EXPECT_EQ("proxyNotLoaded", report["bundleProblems"][0]["kind"]);
    EXPECT_EQ(3, report["bundleProblems"][0]["line"]);
    EXPECT_TRUE(report["checks"].is_null());

    // A name cannot forge a line of the summary, nor reach the terminal as a control sequence.
    TestFiles::RemoveTree(bundle.Root() + "/extensions/Broken");
    bundle.AddPatch(Patch("{FORGED}", "Suite\nCheck result: 0 (Success)\xc2\x9b", "1.0.2", "{BASE}"), "Forged");
    ChildResult forged = Program({"--mode=check"});
    size_t resultLines = 0;
    for (const std::string& line : TestFiles::Lines(forged.output)) resultLines += line.rfind("Check result:", 0) == 0;
    EXPECT_EQ(1u, resultLines) << forged.output;
    EXPECT_NE(std::string::npos, forged.output.find("Suite\\nCheck result: 0 (Success)\\u009b 1.0.2")) << forged.output;
}

}  // namespace
