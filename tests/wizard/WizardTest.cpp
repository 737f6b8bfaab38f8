#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "DHTMLAlertController.h"
#include "ErrorCodes.h"
#include "GenericUtils.h"
#include "InstallerEngine.h"
#include "PatchFixtures.h"
#include "PayloadsManager.h"
#include "StoreBuilder.h"
#include "TSMDHTMLAlertController.h"
#include "TestSandbox.h"
#include "ThreadController.h"
#include "UIDriverFullGUI.h"
#include "UPDWizardController.h"
#include "VirtualDisplay.h"

namespace {

// The wizard with a page of the test's own, run until the page ends it.
class Wizard : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the wizard on";
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
        InstalledBase(store, box / "machine", Patch("{BASE}", "Suite", "1.0", ""), {"{S1}"}, box / "machine/Applications/Suite",
                      "record-installed=1\n");
        store.Save();
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
        UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine = &engine;
        DHTMLAlertController::SetMaker([] { return std::unique_ptr<DHTMLAlertController>(new TSMDHTMLAlertController()); });
        GenericUtils::SetAlertHandlerForTesting([this](const std::string& message, const std::string&, const std::string&) {
            alerts.push_back(message);
            return true;
        });
    }
    void TearDown() override {
        GenericUtils::SetAlertHandlerForTesting(GenericUtils::AlertHandler());
        PayloadsManager::Release();
    }
    // Runs the wizard on a page whose script is given; returns the window title the page left.
    std::string RunPage(const std::string& script) {
        bundle.Strings("<Localization><String stringID=\"locQuit\"><en_US>Quit</en_US></String></Localization>");
        TestFiles::Write(bundle.Root() + "/resources/main.html",
                         "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><script>window.DARKOnLoad = function () {" + script +
                             "};</script></head><body>test page</body></html>");
        return RunWizard();
    }
    std::string RunWizard() {
        UPDWizardController controller;
        timedOut = false;
        const guint guard = g_timeout_add_seconds(60, [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        }, &timedOut);
        controller.RunApplication();
        if (!timedOut) g_source_remove(guard);
        const gchar* title = gtk_window_get_title(controller.Window());
        return title != nullptr ? title : "";
    }
    VirtualDisplay display;
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    InstallerEngine engine{box / "bundle"};
    std::vector<std::string> alerts;
    bool timedOut = false;
};

TEST_F(Wizard, PageCallsNativeMethodsThroughTheBridge) {
    TestFiles::Write(box / "bundle/resources/tricky.txt", "it's a \\ and\nnext\t\x01\\'");
    const std::string title = RunPage(
        "var r = [];"
        "r.push(DARKParse(GetDefaultProperties()).productName);"
        "r.push(DARKParse(UIGetUpdatesStatusMap())['{PATCH}']);"
        "r.push(DARKParse(LoadFile('tricky.txt')).data === \"it's a \\\\ and\\nnext\\t\\u0001\\\\'\" ? 'exact' : 'changed');"
        // an answer is data, never script
        "r.push(DARKParse('{\"a\":(window.ran=1)}')._error + typeof window.ran);"
        "r.push(String(prompt('DARK<===>NoSuchMethod')));"
        "r.push(UIResizeWindow('0', '400'));"
        "r.push(typeof UIStartInstall);"
        "alert('hello');"
        "UISetWindowTitle(r.join('|'));"
        "UIExitDialog('done');");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ("Suite Update|Suite Update 1.0.1|exact|9999undefined|null|{\"_error\":\"2\"}|function", title);
    EXPECT_EQ((std::vector<std::string>{"JavaScript Alert\nhello"}), alerts);
}

TEST_F(Wizard, ModalHtmlAlertsAnswerWithTheirExitText) {
    const std::string title = RunPage(
        "var a = DARKParse(UIShowModalAlert('<html><body><script>window.DARKOnLoad = function () { UIExitDialog(\"yes\"); };<\\/script></body></html>')).returnValue;"
        "var b = DARKParse(UIShowModalAlert('<html><body><script>window.DARKOnLoad = function () { UIExitDialog(); };<\\/script>second</body></html>')).returnValue;"
        "UISetWindowTitle(a + '/' + b + '/');"
        "UIExitDialog('');");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ("yes//", title);
}

TEST_F(Wizard, PreparationAndInstallationRunInTheBackground) {
    const std::string title = RunPage(
        "var seen = [DARKParse(UIGetPayloadProgress())._error];"
        "UIStartPayloadInitialize();"
        "function prepared() {"
        "  if (DARKParse(UIGetPayloadProgress())._error !== 'DONE') { setTimeout(prepared, 50); return; }"
        "  seen.push('DONE'); UIStartInstall('1'); installed();"
        "}"
        "function installed() {"
        "  var p = DARKParse(UIGetProgress());"
        "  if (p.Progress.percentage !== '100') { setTimeout(installed, 50); return; }"
        "  seen.push(DARKParse(UIGetSuccessPayloadsMap())['{PATCH}']);"
        "  UISetWindowTitle(seen.join('|')); UIExitDialog('');"
        "}"
        "prepared();");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ("9999|DONE|Suite Update 1.0.1", title);
    EXPECT_TRUE(TestFiles::Exists(box / "machine/Library/Application Support/Kavex/Installers/{S1}/invocations.log"));
    EXPECT_FALSE(NativeThreadController::GetInstance()->Controller().currentWorker());  // the end message arrived
}

TEST_F(Wizard, EndingDuringAnInstallationLetsThePassFinish) {
    TestFiles::Write(box / "machine/Library/Application Support/Kavex/Installers/{S1}/standin.conf", "record-installed=1\n");
    const std::string title = RunPage(
        "UIStartPayloadInitialize();"
        "(function prepared() {"
        "  if (DARKParse(UIGetPayloadProgress())._error !== 'DONE') { setTimeout(prepared, 20); return; }"
        "  UIStartInstall('1'); UISetWindowTitle('ended early'); UIExitDialog('');"
        "})();");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ("ended early", title);
    EXPECT_FALSE(NativeThreadController::GetInstance()->Controller().currentWorker());
    EXPECT_EQ(100, PayloadsManager::Instance()->Progress().Snapshot().mPercent);  // the pass ran to its end
}

TEST_F(Wizard, CancelBeforeAnyPassEndsTheWizard) {
    const std::string title = RunPage("UISetWindowTitle('cancelled'); UICancelUpdate('1');");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ("cancelled", title);
    EXPECT_TRUE(alerts.empty());
}

TEST_F(Wizard, MissingStartPageShowsTheStartupError) {
    RunWizard();
    EXPECT_FALSE(timedOut);
    // Why, what to do and the code, even without a strings file.
    ASSERT_EQ(1u, alerts.size());
    EXPECT_EQ(0u, alerts[0].find("The update cannot start\nRequired resources are missing.\n\nQuit, then start the update again."))
        << alerts[0];
    EXPECT_NE(std::string::npos, alerts[0].find("Error code: " + std::to_string(ErrorCodes::kUnknownError))) << alerts[0];
}

TEST_F(Wizard, WindowOperations) {
    UPDWizardController controller;
    EXPECT_EQ(kTSMNo, controller.setTitle(""));
    EXPECT_EQ(kTSMYes, controller.setTitle("Kavex"));
    EXPECT_STREQ("Kavex", gtk_window_get_title(controller.Window()));
    EXPECT_EQ(kTSMYes, controller.setVisibility(true));
    EXPECT_EQ(kTSMYes, controller.setViewWidth(600, 400));
    for (int i = 0; i < 50; ++i) {
        while (gtk_events_pending()) gtk_main_iteration();
        usleep(10000);
    }
    int width = 0, height = 0;
    gtk_window_get_size(controller.Window(), &width, &height);
    EXPECT_EQ(600, width);
    EXPECT_EQ(400, height);
    EXPECT_EQ(kTSMYes, controller.setCloseBoxEnabled(false));
    EXPECT_FALSE(gtk_window_get_deletable(controller.Window()));
    EXPECT_EQ(kTSMYes, controller.setVisibility(false));
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(controller.Window())));
}

// Runs the main context's messages for a while, or until done says so.
template <typename Done>
void RunMessages(Done done, int milliseconds) {
    for (int waited = 0; waited < milliseconds && !done(); ++waited) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        usleep(1000);
    }
}

// A task that runs until told to end.
struct HeldTask {
    std::shared_ptr<std::atomic<bool> > release = std::make_shared<std::atomic<bool> >(false);
    ThreadManagerMac::Task Task() const {
        std::shared_ptr<std::atomic<bool> > flag = release;
        return [flag](ThreadManagerMac&) {
            while (!*flag) usleep(1000);
            return std::string("2");
        };
    }
};

// One pass at a time; a pass whose task has returned does not hold the next one back, and
// its late end message leaves the next one in place.
TEST(BackgroundPasses, OneAtATimeAndEachEndClearsOnlyItsOwn) {
    ThreadController controller;
    HeldTask first, second;
    ASSERT_TRUE(controller.start(first.Task()));
    const std::shared_ptr<ThreadManagerMac> firstWorker = controller.currentWorker();
    ASSERT_TRUE(firstWorker);
    EXPECT_FALSE(controller.start(second.Task()));
    EXPECT_FALSE(controller.performInit());
    EXPECT_EQ(firstWorker, controller.currentWorker());

    *first.release = true;
    while (!firstWorker->taskEnded()) usleep(1000);
    ASSERT_TRUE(controller.start(second.Task()));
    const std::shared_ptr<ThreadManagerMac> secondWorker = controller.currentWorker();
    EXPECT_NE(firstWorker, secondWorker);
    RunMessages([] { return false; }, 300);  // the first pass's end message arrives meanwhile
    EXPECT_EQ(secondWorker, controller.currentWorker());
    EXPECT_FALSE(secondWorker->cancelled());

    *second.release = true;
    RunMessages([&] { return !controller.currentWorker(); }, 5000);
    EXPECT_FALSE(controller.currentWorker());
    EXPECT_TRUE(secondWorker->cancelled());
}

// The controller may go before its pass ends: the end message finds nothing of it.
TEST(BackgroundPasses, AControllerGoneBeforeItsPassEndsIsNotTouched) {
    HeldTask task;
    std::weak_ptr<ThreadManagerMac> worker;
    {
        ThreadController controller;
        ASSERT_TRUE(controller.start(task.Task()));
        worker = controller.currentWorker();
    }
    *task.release = true;
    RunMessages([&] { return worker.expired(); }, 5000);
    EXPECT_TRUE(worker.expired());
}

}  // namespace
