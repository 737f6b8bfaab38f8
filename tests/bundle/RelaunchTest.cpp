// The trust boundary of the relaunch: what an ordinary user's process hands to pkexec, and
// what the administrator's copy accepts from it, each side tried with hostile values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "VirtualDisplay.h"

namespace {

// An ordinary user starts the wizard: it asks pkexec (here a stand-in that records what it
// was asked and answers as told) to run it again as root.
class Relaunch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.Running()) GTEST_SKIP() << "no Xvfb for the password dialog's display";
        chmod(box.Path().c_str(), 0755);
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        program = bundle.InstallProgram();
        TestFiles::Write(fakePkexec, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " + box / "asked.txt" + "\nenv > " +
                                         box / "environment.txt" + "\n[ -e " + box / "said.txt" + " ] && cat " + box / "said.txt" + " >&2\nexit $(cat " + box / "answer.txt" + ")\n");
        chmod(fakePkexec.c_str(), 0755);
        for (const char* name : {"asked.txt", "environment.txt"}) {
            TestFiles::Write(box / name, "");
            chmod((box / name).c_str(), 0666);
        }
    }
    ChildResult RunAsUser(const std::string& answer, const std::vector<std::string>& extra = {},
                          const std::string& displayName = "") {
        TestFiles::Write(box / "answer.txt", answer);
        chmod((box / "answer.txt").c_str(), 0644);
        std::vector<std::string> argv{program, "--mode=gui"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return TestProcess::Run(argv,
                                {"KAVEX_PKEXEC=" + fakePkexec, "KAVEX_SYSTEM_ROOT=" + box / "machine",
                                 "KAVEX_UPDATER_RESULTS=/etc/passwd", "KAVEX_UPDATER_CLIENT=/x",
                                 "DISPLAY=" + (displayName.empty() ? display.Name() : displayName),
                                 "LANGUAGE=../../../../etc/shadow:fr_FR.UTF-8:de", "LANG=", "LC_ALL=", "LC_MESSAGES=",
                                 "XAUTHORITY=", "WAYLAND_DISPLAY=", "NO_AT_BRIDGE=1"},
                                true, 90);
    }
    VirtualDisplay display;
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::string program;
    std::string fakePkexec = box / "pkexec";
};

// pkexec is asked for the program itself, with the mode, -norespawn and the window's needs
// only; the user's other arguments and redirecting variables stay behind. The launching
// process ends with the administrator's code and says so; 126 (dismissed) gives 2.
TEST_F(Relaunch, AsksForTheProgramItselfWithOnlyWhatCrossesAndEndsWithItsCode) {
    const std::vector<std::string> hostile{"--report=/etc/ld.so.preload", "--callerID=ZEP6", "--setupTimeout=5"};
    ChildResult granted = RunAsUser("30", hostile);
    EXPECT_EQ(30, granted.status) << granted.output;
    EXPECT_NE(std::string::npos, granted.output.find("End Kavex Update.  Exit code: 30")) << granted.output;
    const std::vector<std::string> asked = TestFiles::Lines(TestFiles::Read(box / "asked.txt"));
    const std::vector<std::string> expected{program, "--mode=gui", "-norespawn", "--display=" + display.Name(),
                                            "--language=fr_FR:de"};
    EXPECT_EQ(expected, asked);
    EXPECT_EQ(std::string::npos, TestFiles::Read(box / "environment.txt").find("KAVEX_"));
    EXPECT_NE(std::string::npos, granted.output.find("--report is not passed to the copy that runs as administrator"));
    EXPECT_FALSE(TestFiles::Exists("/etc/ld.so.preload") && TestFiles::Read("/etc/ld.so.preload").find("schemaVersion") != std::string::npos);

    ChildResult dismissed = RunAsUser("126");
    EXPECT_EQ(2, dismissed.status) << dismissed.output;
    EXPECT_EQ(std::string::npos, dismissed.output.find("administrator rights could not be obtained")) << dismissed.output;
    EXPECT_NE(std::string::npos, dismissed.output.find("End Kavex Update.  Exit code: 2")) << dismissed.output;

    // Where the machine installed its own entry, pkexec is asked for that program, with the same
    // arguments and this bundle's folder: root then runs a verified snapshot, not this program.
    const std::string entry = box / "machine/usr/libexec/kavex/kavex-update";
    TestFiles::Write(entry, TestFiles::Read(KAVEX_UPDATE_PROGRAM));
    chmod(entry.c_str(), 0755);
    ChildResult throughEntry = RunAsUser("0");
    EXPECT_EQ(0, throughEntry.status) << throughEntry.output;
    std::vector<std::string> expectedForEntry = expected;
    expectedForEntry[0] = entry;
    expectedForEntry.push_back(bundle.Root());
    EXPECT_EQ(expectedForEntry, TestFiles::Lines(TestFiles::Read(box / "asked.txt")));
    // When the entry itself refuses the bundle, no program of it ran as root to say why: this
    // side shows the entry's reason, and ends with its code once the window is closed.
    TestFiles::Write(box / "said.txt", "kavex-update: the bundle is refused (changed): changed: setup.xml (content)\n");
    chmod((box / "said.txt").c_str(), 0644);
    ChildResult refused{-1, ""};
    std::thread refusedUser([&] { refused = RunAsUser("35"); });
    const bool shown = display.WaitForWindow("The update cannot start", 30);
    bool blank = true;
    if (shown) display.SaveWhenDrawn("The update cannot start", VirtualDisplay::ScreenshotPath("relaunch-entry-refused"), 10, blank);
    if (shown) {
        EXPECT_TRUE(display.Dismiss("The update cannot start", "Return", 30));
    }
    refusedUser.join();
    EXPECT_TRUE(shown) << refused.output;
    EXPECT_FALSE(blank);
    EXPECT_EQ(35, refused.status) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("changed: setup.xml (content)")) << refused.output;
    unlink((box / "said.txt").c_str());
    // An entry that others may change is no machine's entry.
    chmod(entry.c_str(), 0777);
    RunAsUser("0");
    EXPECT_EQ(program, TestFiles::Lines(TestFiles::Read(box / "asked.txt")).front());
    unlink(entry.c_str());

    // A helper that gives no rights: the copy it starts does not relaunch again.
    TestFiles::Write(fakePkexec, "#!/bin/sh\necho again >> " + box / "asked.txt" + "\nexec timeout 60 \"$@\"\n");
    chmod(fakePkexec.c_str(), 0755);
    TestFiles::Write(box / "asked.txt", "");
    // The copy, on the real machine root, finds no store: it says so (in English: this bundle has no
    // strings), and ends with 31 once closed.
    ChildResult loop{-1, ""};
    std::thread user([&] { loop = RunAsUser("0"); });
    const bool told = display.WaitForWindow("The update cannot start", 30);
    if (told) {
        EXPECT_TRUE(display.Dismiss("The update cannot start", "Return", 30));
    }
    user.join();
    EXPECT_TRUE(told) << loop.output;
    EXPECT_EQ(31, loop.status) << loop.output;
    EXPECT_EQ(1u, TestFiles::Lines(TestFiles::Read(box / "asked.txt")).size());
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

// The administrator's copy as pkexec or sudo starts it for an ordinary user, handed hostile
// values: nothing of them redirects what root reads, writes or runs.
class ElevatedCopy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TestProcess::NobodyIds(uid, gid));
        chmod(box.Path().c_str(), 0755);
        InstalledBase(store, box / "machine", Patch("{BASE}", "Suite", "1.0", ""), {"{S1}"}, box / "machine/Applications/Suite",
                      "record-installed=1\n");
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        program = bundle.InstallProgram();
        TestFiles::Write(victim, "root only\n");
        chmod(victim.c_str(), 0600);
        TestFiles::MakeFolders(userFolder);
        chown(userFolder.c_str(), uid, gid);
    }
    ChildResult Run(const std::string& via, const std::vector<std::string>& args) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestProcess::Run(argv, {via + "=" + std::to_string(uid), "KAVEX_SYSTEM_ROOT=" + box / "machine",
                                       "KAVEX_UPDATER_CLIENT=/x", "KAVEX_UPDATER_RESULTS=" + victim,
                                       "LANGUAGE=../../../../etc/shadow:fr", "DISPLAY=", "WAYLAND_DISPLAY=", "HOME=" + userFolder});
    }
    std::string Log() const { return TestFiles::Read("/tmp/moq.log"); }
    unsigned uid = 0, gid = 0;
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::string program;
    std::string victim = box / "root-only";
    std::string userFolder = box / "user";
};

TEST_F(ElevatedCopy, TakesNothingFromTheUserThatSteersRoot) {
    const std::string before = Log();
    // Through pkexec: only the mode and the relaunch's own arguments, each checked.
    const std::string authority = box / "xauthority";  // root's file, not the user's
    TestFiles::Write(authority, "cookie");
    ChildResult pkexec = Run("PKEXEC_UID", {"--mode=check", "--callerID=ZEP6", "--report=" + victim, "--display=evil:0",
                                            "--xauthority=" + authority, "--language=../../etc/shadow"});
    const std::string log = TestFiles::Since("/tmp/moq.log", before);
    EXPECT_EQ("root only\n", TestFiles::Read(victim));
    struct stat st;
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_NE(std::string::npos, pkexec.output.find("UI mode: Check")) << pkexec.output;
    for (const char* line : {"Ignoring KAVEX_SYSTEM_ROOT: set on an ordinary user's side of the elevation",
                             "Ignoring KAVEX_UPDATER_RESULTS: set on an ordinary user's side of the elevation",
                             "Ignoring LANGUAGE: not a plain language code", "Ignoring the argument \"--callerID=ZEP6\"",
                             "Ignoring HOME: set on an ordinary user's side of the elevation",
                             "Ignoring the display \"evil:0\"", "Ignoring the X authority file: not a regular file of the user's own"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
    }
    EXPECT_NE(std::string::npos, log.find("Ignoring the argument \"--report=" + victim + "\""));

    // Through sudo the arguments stand, but a report goes only where the user may write.
    ChildResult refused = Run("SUDO_UID", {"--mode=check", "--report=" + victim});
    EXPECT_EQ("root only\n", TestFiles::Read(victim)) << refused.output;
    ChildResult allowed = Run("SUDO_UID", {"--mode=check", "--report=" + userFolder + "/report.json"});
    ASSERT_EQ(0, stat((userFolder + "/report.json").c_str(), &st)) << allowed.output;
    EXPECT_EQ(uid, st.st_uid);
    EXPECT_NE(std::string::npos, TestFiles::Read(userFolder + "/report.json").find("\"machineRoot\": \"/\""));
}

// Root on its own honours a machine root only where no one else could have built it.
TEST_F(ElevatedCopy, AMachineRootAnOrdinaryUserCouldChangeIsIgnored) {
    const std::string before = Log();
    chown((box / "machine").c_str(), uid, gid);
    ChildResult run = TestProcess::Run({program, "--mode=check"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "PKEXEC_UID=", "SUDO_UID="});
    EXPECT_NE(std::string::npos, TestFiles::Since("/tmp/moq.log", before).find("Ignoring KAVEX_SYSTEM_ROOT=" + box / "machine"))
        << run.output;
    chown((box / "machine").c_str(), 0, 0);
    ChildResult honoured = TestProcess::Run({program, "--mode=check"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "PKEXEC_UID=", "SUDO_UID="});
    EXPECT_EQ(0, honoured.status) << honoured.output;
}

}  // namespace
