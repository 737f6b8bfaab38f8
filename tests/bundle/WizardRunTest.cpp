#include <gtest/gtest.h>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "VirtualDisplay.h"

namespace {

// A page that installs whatever is available and ends, as a user clicking through would.
const char* const kAutoInstallPage =
    "<!DOCTYPE html><html><head><script>"
    "window.DARKOnLoad = function () {"
    "  UIStartPayloadInitialize();"
    "  (function prepared() {"
    "    if (DARKParse(UIGetPayloadProgress())._error !== 'DONE') { setTimeout(prepared, 50); return; }"
    "    UIStartInstall('1');"
    "    (function installed() {"
    "      if (DARKParse(UIGetProgress()).Progress.percentage !== '100') { setTimeout(installed, 50); return; }"
    "      UIExitDialog('');"
    "    })();"
    "  })();"
    "};"
    "</script></head><body>installing</body></html>";

class WizardRun : public ::testing::Test {
protected:
    void SetUp() override {
        InstalledBase(store, box / "machine", Patch("{BASE}", "Suite", "1.0", ""), {"{S1}"}, box / "machine/Applications/Suite",
                      "record-installed=1\n");
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        TestFiles::Write(bundle.Root() + "/resources/main.html", kAutoInstallPage);
        program = bundle.InstallProgram();
    }
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::string program;
};

TEST_F(WizardRun, TheWizardInstallsThroughItsPage) {
    VirtualDisplay display;
    if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the wizard on";
    ChildResult run = TestProcess::Run({program, "-norespawn"},
                                       {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(), "NO_AT_BRIDGE=1"});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("UI mode: Full GUI\n"));
    EXPECT_TRUE(TestFiles::Exists(box / "machine/Library/Application Support/Kavex/Installers/{S1}/invocations.log"));
}

// Quotes in a string ID and in a patch code are data to the page: it installs
// only when both arrive intact and nothing of them ran as script.
TEST(WizardRunWithQuotes, NamesFromFilesNeverRunAsScript) {
    VirtualDisplay display;
    if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the wizard on";
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    InstalledBase(store, box / "machine", Patch("{BASE}", "Suite", "1.0", ""), {"{S1}"}, box / "machine/Applications/Suite",
                  "record-installed=1\n");
    store.Save();
    bundle.AddPatch(Patch("{P\"1}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    bundle.Strings("<Localization><String stringID=\"a&quot;:(window.ran=1),&quot;b\"><en_US>l'app\t&quot;</en_US></String>"
                   "</Localization>");
    std::string page = kAutoInstallPage;
    page.replace(page.find("  UIStartPayloadInitialize();"), 0,
                 "  var s = DARKParse(GetStringsForLanguage('en_US')), u = DARKParse(UIGetUpdatesStatusMap());"
                 "  if (typeof window.ran !== 'undefined' || s['a\":(window.ran=1),\"b'] !== 'l\\'app\\t\"' ||"
                 "      u['{P\"1}'] !== 'Suite Update 1.0.1') { UIExitDialog(''); return; }");
    TestFiles::Write(bundle.Root() + "/resources/main.html", page);
    const std::string program = bundle.InstallProgram();
    ChildResult run = TestProcess::Run({program, "-norespawn"},
                                       {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(), "NO_AT_BRIDGE=1"});
    EXPECT_EQ(0, run.status) << run.output;
    const std::string invocations = box / "machine/Library/Application Support/Kavex/Installers/{S1}/invocations.log";
    ASSERT_TRUE(TestFiles::Exists(invocations)) << "the page did not install";
    EXPECT_NE(std::string::npos, TestFiles::Read(invocations).find("--kavexCodeList={P\"1}"));
}

TEST_F(WizardRun, WithoutADisplayTheWizardCannotRun) {
    ChildResult run = TestProcess::Run({program, "--mode=gui", "-norespawn"},
                                       {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(255, run.status) << run.output;  // the unknown error, in 8 bits
    EXPECT_FALSE(TestFiles::Exists(box / "machine/Library/Application Support/Kavex/Installers/{S1}/invocations.log"));
}

TEST_F(WizardRun, WithoutAStoreTheWizardEndsWith31) {
    TestFiles::RemoveTree(box / "machine/Library/Application Support/Kavex/moxa");
    TestFiles::Write(box / "machine/Library/Application Support/Kavex/moxa", "not a folder");
    ChildResult run = TestProcess::Run({program, "-norespawn"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY="});
    EXPECT_EQ(31, run.status) << run.output;
}

}  // namespace
