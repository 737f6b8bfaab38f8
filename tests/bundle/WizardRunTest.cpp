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
    EXPECT_NE(std::string::npos, run.output.find("Update: no display to show the wizard on")) << run.output;
    EXPECT_FALSE(TestFiles::Exists(box / "machine/Library/Application Support/Kavex/Installers/{S1}/invocations.log"));
}

TEST_F(WizardRun, WithoutAStoreTheWizardEndsWith31) {
    TestFiles::RemoveTree(box / "machine/Library/Application Support/Kavex/moxa");
    TestFiles::Write(box / "machine/Library/Application Support/Kavex/moxa", "not a folder");
    ChildResult run = TestProcess::Run({program, "-norespawn"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY="});
    EXPECT_EQ(31, run.status) << run.output;
}

}  // namespace

#include <gtk/gtk.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <regex>
#include <set>
#include <map>
#include <thread>

#include "ErrorCodes.h"
#include "GenericUtils.h"
#include "JsonSchemaSubset.h"
#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "NamedLock.h"
#include "PayloadsManager.h"
#include "SetupGate.h"
#include "SessionReport.h"
#include "TesmidConstants.h"
#include "UIDriverFactory.h"
#include "UIDriverFullGUI.h"
#include "XMLParserNative.h"

namespace {

// The pages' string table in one language, as the wizard reads it.
std::map<std::string, std::string> PageStrings(std::string language) {
    std::map<std::string, std::string> strings;
    XMLParserNative(std::string(RESOURCES_DIR) + "/main.xml").FetchLanguageStrings(strings, language);
    return strings;
}

// The page of the running wizard, seen and used as a user would: its visible step, its
// text, and keys typed into it.
class Page {
public:
    explicit Page(const VirtualDisplay& display) : mDisplay(display) {}

    std::string Eval(const std::string& script) {
        WebKitWebView* view = View();
        if (view == nullptr) return "";
        struct Pending {
            bool done = false;
            std::string value;
        } pending;
        webkit_web_view_evaluate_javascript(
            view, script.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                Pending& answer = *static_cast<Pending*>(data);
                GError* error = nullptr;
                if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error)) {
                    gchar* text = jsc_value_to_string(value);
                    answer.value = text != nullptr ? text : "";
                    g_free(text);
                    g_object_unref(value);
                }
                g_clear_error(&error);
                answer.done = true;
            },
            &pending);
        while (!pending.done) g_main_context_iteration(nullptr, TRUE);
        return pending.value;
    }
    // Polls the condition (a script expression) while the wizard goes on; false after 40 s.
    // Tests elsewhere on the machine may hold the family's locks for a moment: a lock check
    // that is not what is waited for is retried, once a second.
    bool WaitFor(const std::string& condition, const std::function<void()>& each = nullptr) {
        gint64 retried = 0;
        for (gint64 end = g_get_monotonic_time() + 40 * G_USEC_PER_SEC; g_get_monotonic_time() < end;) {
            if (Eval("!!(" + condition + ")") == "true") return true;
            if (each) each();
            if (g_get_monotonic_time() - retried > G_USEC_PER_SEC &&
                Eval("typeof lastCheck !== 'undefined' && lastCheck === 'lock' && !document.getElementById('check').hidden") == "true") {
                retried = g_get_monotonic_time();
                Key("Enter");
            }
            const gint64 until = g_get_monotonic_time() + 50000;
            while (g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE), g_usleep(2000);
        }
        ADD_FAILURE() << "the page never showed " << condition << "; it shows " << Step() << ": " << Text();
        return false;
    }
    // The window's close box, as the window manager reports it.
    void CloseWindow() {
        if (WebKitWebView* view = View()) gtk_window_close(GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(view))));
    }
    std::string Step() { return Eval("(document.querySelector('section:not([hidden])') || {id: ''}).id"); }
    std::string Text() { return Eval("document.body.innerText"); }
    std::string Focused() { return Eval("document.activeElement ? document.activeElement.id : ''"); }
    // A key as the keyboard delivers it: to the focused element, bubbling up to the page.
    void Key(const std::string& key) {
        Eval("(document.activeElement || document.body).dispatchEvent(new KeyboardEvent('keydown', {key: '" + key +
             "', bubbles: true, cancelable: true})); 'sent'");
    }
    // Saves the window for a reviewer; a window with nothing drawn fails the test.
    void Shot(const std::string& name) {
        // The step's frame reaches the screen a moment after its script; a window still
        // blank after 3 s more fails.
        for (gint64 end = g_get_monotonic_time() + G_USEC_PER_SEC / 2; g_get_monotonic_time() < end;) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(5000);
        }
        bool blank = true, saved = false;
        for (int i = 0; i < 60 && blank; ++i) {
            for (int j = 0; j < 10; ++j) {
                g_main_context_iteration(nullptr, FALSE);
                g_usleep(5000);
            }
            saved = mDisplay.SaveWindows("", VirtualDisplay::ScreenshotPath(name), blank);
        }
        EXPECT_TRUE(saved) << name;
        EXPECT_FALSE(blank) << name << " is blank";
    }

private:
    // The wizard's view: the one window with a web view that is not a modal alert.
    WebKitWebView* View() {
        WebKitWebView* found = nullptr;
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item != nullptr && found == nullptr; item = item->next) {
            GtkWindow* window = GTK_WINDOW(item->data);
            GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
            if (!gtk_window_get_modal(window) && child != nullptr && WEBKIT_IS_WEB_VIEW(child)) found = WEBKIT_WEB_VIEW(child);
        }
        g_list_free(windows);
        return found;
    }
    const VirtualDisplay& mDisplay;
};

std::vector<std::string> LaunchLines(const std::string& machine) {
    return TestFiles::Lines(TestFiles::Read(machine + "/Library/Application Support/Kavex/Installers/launch-order.log"));
}

// The product's own pages, on the demo's kind of machine, with a user at the keyboard.
class WizardPages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the wizard on";
        // The family's locks of their own: a lock these tests hold stands in the way of no other
        // test on the machine, nor theirs of these.
        ASSERT_EQ(0, unshare(CLONE_NEWIPC));
        for (const char* file : {"main.html", "main.css", "main.js", "main.xml"}) {
            TestFiles::Write(bundle.Root() + "/resources/" + file, TestFiles::Read(std::string(RESOURCES_DIR) + "/" + file));
        }
        setenv("LANGUAGE", "en", 1);
        // The program registers the wizard's driver from its module; this process links it.
        UIDriverFactory::Register(InstallerEngine::kModeFullGUI, [](InstallerEngine& engine) {
            return std::unique_ptr<UIDriver>(new UIDriverFullGUI(engine));
        });
        GenericUtils::SetAlertHandlerForTesting([this](const std::string& message, const std::string&, const std::string&) {
            alerts.push_back(message);
            return true;  // the alternate button: stop
        });
    }
    void TearDown() override { GenericUtils::SetAlertHandlerForTesting(GenericUtils::AlertHandler()); }

    // A base product installed in the given sessions, whose cached setups follow conf.
    void Machine(const std::vector<std::string>& sessions, const std::string& conf) {
        InstalledBase(store, box / "machine", Patch("{BASE}", "Suite", "1.0", ""), sessions, box / "machine/Applications/Suite",
                      conf);
    }

    // Runs the whole program's engine in this process; the user acts once the loop runs.
    // After the run, with the engine still there, `after` may look at it (the run's report).
    unsigned Run(const std::function<void(Page&)>& user,
                 const std::function<void(InstallerEngine&, unsigned)>& after = nullptr) {
        store.Save();
        struct Context {
            const std::function<void(Page&)>* user;
            Page* page;
            guint guard;
        };
        Page page(display);
        Context context{&user, &page, 0};
        g_idle_add(
            [](gpointer data) -> gboolean {
                Context& c = *static_cast<Context*>(data);
                (*c.user)(*c.page);
                // A user who gave up leaves the wizard running: end it.
                c.guard = g_timeout_add_seconds(20, [](gpointer data) -> gboolean {
                    ADD_FAILURE() << "the wizard did not end";
                    static_cast<Context*>(data)->guard = 0;
                    gtk_main_quit();
                    return G_SOURCE_REMOVE;
                }, &c);
                return G_SOURCE_REMOVE;
            },
            &context);
        InstallerEngine engine(bundle.Root());
        const unsigned code = engine.Main({bundle.Root() + "/Update.app/Contents/MacOS/Update", "-norespawn"});
        // The next run of the same test is not this one's to end.
        if (context.guard != 0) g_source_remove(context.guard);
        if (after) after(engine, code);
        return code;
    }

    VirtualDisplay display;
    TestSandbox box;
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    std::vector<std::string> alerts;
};

TEST_F(WizardPages, OverviewInstallAndFinishWithTheKeyboard) {
    Machine({"{S1}"}, "record-installed=1\n");
    ProxyFields update = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    update.totalSize = "52428800";
    bundle.AddPatch(update);
    bundle.AddPatch(Patch("{HIDDEN}", "Suite Hidden Fix", "1.0.2", "{BASE}"));
    bundle.AddPatch(Patch("{DONE}", "Suite Old Fix", "1.0.0a", "{BASE}"));
    ProxyFields orphan = Patch("{ORPHAN}", "Video Update", "2.0.1", "{VIDEO}");
    orphan.parentName = "Video Cut";
    bundle.AddPatch(orphan);
    store.Payload("{DONE}", "Suite Old Fix", "1.0.0a").Member("{S1}", "{DONE}");
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{PATCH}</KavexCode></Driver><Optional>"
                    "<KavexCode display=\"none\">{HIDDEN}</KavexCode></Optional></PayloadInfo>");
    std::string overview, finish, focusAtFinish, value;
    std::vector<std::string> tabStops;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Shot("wizard-overview");
        overview = page.Text();
        EXPECT_EQ("overview-install", page.Focused());
        // Every Tab stop shows that it has the focus.
        for (int i = 0; i < 4; ++i) {
            display.PressKey("Suite Update", "Tab");
            page.Eval("1");
            tabStops.push_back(page.Eval("(document.activeElement.id || document.activeElement.tagName) + ':' + "
                                         "getComputedStyle(document.activeElement).outlineStyle"));
        }
        // A short window still shows the last item whole above the button bar, once scrolled to it.
        page.Eval("UIResizeWindow('640', '400'); 1");
        EXPECT_TRUE(page.WaitFor("window.innerHeight === 400 && (function () { var s = document.getElementById('overview');"
                                 " s.scrollTop = s.scrollHeight; var items = s.querySelectorAll('li');"
                                 " return items[items.length - 1].getBoundingClientRect().bottom <="
                                 " s.querySelector('.buttons').getBoundingClientRect().top; })()"));
        page.Shot("wizard-overview-640x400");
        page.Eval("UIResizeWindow('640', '480'); 1");
        page.Eval("document.getElementById('overview-install').focus(); 1");
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Shot("wizard-finish-installed");
        finish = page.Text();
        focusAtFinish = page.Focused();
        value = page.Eval("document.getElementById('bar').getAttribute('aria-valuenow') + '|' + "
                          "document.getElementById('status').getAttribute('role') + '|' + document.title");
        page.Key("Enter");
    });
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, overview.find("Suite Update 1.0.1")) << overview;
    EXPECT_NE(std::string::npos, overview.find("50 MB")) << overview;
    EXPECT_NE(std::string::npos, overview.find("Already installed")) << overview;
    EXPECT_NE(std::string::npos, overview.find("Suite Old Fix 1.0.0a")) << overview;
    EXPECT_NE(std::string::npos, overview.find("Product not installed")) << overview;
    EXPECT_NE(std::string::npos, overview.find("Video Cut")) << overview;
    EXPECT_EQ(std::string::npos, overview.find("Hidden")) << overview;
    EXPECT_NE(std::string::npos, overview.find("This update is not signed")) << overview;  // no key is trusted here
    EXPECT_NE(std::string::npos, finish.find("The updates are installed")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite Update 1.0.1")) << finish;
    EXPECT_EQ("finish-close", focusAtFinish);
    ASSERT_EQ(4u, tabStops.size());
    for (const std::string& stop : tabStops) EXPECT_EQ(std::string::npos, stop.find(":none")) << ::testing::PrintToString(tabStops);
    EXPECT_EQ("100|status|Suite Update", value);
    EXPECT_EQ(2u, LaunchLines(box / "machine").size());  // the hidden patch goes with the one shown
}

TEST_F(WizardPages, AFailedSetupIsShownWithItsCauseAndEndsWith28) {
    Machine({"{S1}"}, "exit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::string finish, titleClass, focused, copied, note;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Shot("wizard-finish-failed");
        finish = page.Text();
        titleClass = page.Eval("document.getElementById('finish-title').className");
        focused = page.Focused();
        page.Eval("document.getElementById('finish-copy').click(); 'clicked'");
        gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
        copied = text != nullptr ? text : "";
        g_free(text);
        note = page.Eval("document.getElementById('copied').textContent");
        page.Key("Escape");
    });
    EXPECT_EQ(28u, code);
    EXPECT_NE(std::string::npos, finish.find("Some updates could not be installed")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite Update 1.0.1: the setup ended with status 3.")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite (\u2026/Applications/Suite) was left as it was.")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Choose Retry to try again.")) << finish;
    EXPECT_NE(std::string::npos, finish.find("/tmp/moq.log")) << finish;
    EXPECT_EQ("The details are on the clipboard.", note);
    EXPECT_NE(std::string::npos, copied.find("Suite Update 1.0.1: the setup ended with status 3.")) << copied;
    EXPECT_NE(std::string::npos, copied.find("/tmp/moq.log")) << copied;
    EXPECT_EQ("error", titleClass);
    EXPECT_EQ("finish-retry", focused);
}

// A setup killed by a signal says so; once the cause is gone, Retry installs.
TEST_F(WizardPages, RetryAfterAFailureInstallsWhatRemains) {
    Machine({"{S1}"}, "signal=9\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::string failed, done;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        failed = page.Text();
        TestFiles::Write(box / "machine/Library/Application Support/Kavex/Installers/{S1}/standin.conf", "record-installed=1\n");
        page.Key("Enter");  // Retry
        ASSERT_TRUE(page.WaitFor("/The updates are installed/.test(document.getElementById('finish-title').textContent)"));
        done = page.Text();
        page.Key("Enter");
    });
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, failed.find("Suite Update 1.0.1: the setup was stopped by signal 9.")) << failed;
    EXPECT_NE(std::string::npos, done.find("Suite Update 1.0.1")) << done;
    EXPECT_EQ(2u, LaunchLines(box / "machine").size());
}

TEST_F(WizardPages, NothingToInstallShowsUpToDateAndEndsWith29) {
    Machine({"{S1}"}, "");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    store.Payload("{PATCH}", "Suite Update", "1.0.1").Member("{S1}", "{PATCH}");
    std::string text, buttons;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("!document.getElementById('uptodate').hidden"));
        page.Shot("wizard-up-to-date");
        text = page.Text();
        buttons = page.Eval("Array.prototype.map.call(document.querySelectorAll('section:not([hidden]) button'), "
                            "function (b) { return b.textContent; }).join('|')");
        page.Key("Escape");
    });
    EXPECT_EQ(29u, code);
    EXPECT_NE(std::string::npos, text.find("Everything is up to date")) << text;
    EXPECT_NE(std::string::npos, text.find("Suite Update 1.0.1")) << text;
    EXPECT_EQ("Close", buttons);
    EXPECT_TRUE(LaunchLines(box / "machine").empty());
}

// Polls until the condition holds (up to seconds); false when it never did.
bool Eventually(const std::function<bool()>& condition, int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
        if (condition()) return true;
        usleep(20000);
    }
    return condition();
}

// The user at the stop question, on its own thread: the wizard's loop runs the dialog.
// With the question open it lets the first setup end, waits until the pass is held before
// its next launch and the page has said so, notes how many setups had started by then,
// saves the picture and answers with the keys given.
struct StopQuestionUser {
    StopQuestionUser(const VirtualDisplay& shown, const std::string& root, SetupGate& setups,
                     const std::vector<std::string>& answer)
        : display(shown), machine(root), gate(setups), keys(answer) {}
    const VirtualDisplay& display;
    std::string machine;
    SetupGate& gate;
    std::vector<std::string> keys;
    std::atomic<bool> pageSaidWaiting{false};  // set on the wizard's loop
    bool asked = false, held = false;
    size_t launchesWhileAsked = 0;
    std::thread thread;
    void Start() {
        thread = std::thread([this] {
            asked = display.WaitForWindows("Suite Update", 2, 30);
            if (!asked) return;
            gate.LetGo();
            held = Eventually([] { return PayloadsManager::Instance()->Gate().PassWaiting(); }, 30);
            launchesWhileAsked = LaunchLines(machine).size();
            EXPECT_TRUE(Eventually([this] { return pageSaidWaiting.load(); }, 30));
            bool blank = true;
            EXPECT_TRUE(display.SaveWhenDrawn("Suite Update", VirtualDisplay::ScreenshotPath("wizard-stop-question"), 5, blank));
            EXPECT_FALSE(blank);
            for (const std::string& key : keys) EXPECT_TRUE(display.PressKey("Suite Update", key)) << key;
        });
    }
    void Join() {
        if (thread.joinable()) thread.join();
    }
};

const char kWaitingStatus[] = "No further update starts until you answer.|true|false";

// Cancel asks whether to stop; while the question is open the pass starts nothing, and
// what the page shows while it waits is sampled on the wizard's loop.
void CancelAndAnswer(Page& page, StopQuestionUser& user, std::vector<std::string>& statuses, bool closeBox) {
    EXPECT_TRUE(page.WaitFor("/Installing 1 of 2: Suite Update 1.0.1/.test(document.getElementById('status').textContent)"));
    page.Shot("wizard-progress");
    user.Start();
    struct Sampled {
        Page* page;
        std::vector<std::string>* statuses;
        StopQuestionUser* user;
    } sampled{&page, &statuses, &user};
    const guint sampler = g_timeout_add(300, [](gpointer data) -> gboolean {
        Sampled& to = *static_cast<Sampled*>(data);
        to.statuses->push_back(to.page->Eval("document.getElementById('status-line').textContent + '|' + "
                                             "document.getElementById('progress-cancel').disabled + '|' + "
                                             "(document.activeElement === document.getElementById('progress-cancel'))"));
        if (to.statuses->back() == kWaitingStatus) to.user->pageSaidWaiting = true;
        return G_SOURCE_CONTINUE;
    }, &sampled);
    if (closeBox) {
        page.CloseWindow();
    } else {
        page.Key("Escape");
    }
    EXPECT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
    g_source_remove(sampler);
    user.Join();
}

TEST_F(WizardPages, StopAtTheQuestionStartsNothingMoreAndSaysWhatRemains) {
    GenericUtils::SetAlertHandlerForTesting(GenericUtils::AlertHandler());  // the real dialog
    SetupGate setups(box / "setups");
    Machine({"{S1}", "{S2}"}, "hold=" + setups.Path() + "\nrecord-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    StopQuestionUser user{display, box / "machine", setups, {"Left", "Return"}};  // Continue has the focus: Stop is beside it
    std::vector<std::string> statuses;
    std::string finish, focused;
    nlohmann::json report;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        SetupGate::LetGoAtExit release(setups);
        page.Key("Enter");
        CancelAndAnswer(page, user, statuses, false);
        page.Shot("wizard-finish-stopped");
        finish = page.Text();
        focused = page.Focused();
        page.Key("Escape");
    }, [&report](InstallerEngine& engine, unsigned code) { report = nlohmann::json::parse(SessionReport().Document(engine, code, "")); });
    EXPECT_TRUE(user.asked) << "no question was asked";
    EXPECT_TRUE(user.held) << "the pass was not held before its next launch";
    EXPECT_EQ(1u, user.launchesWhileAsked) << "the pass went on while the question was open";
    EXPECT_EQ(2u, code);
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());  // Stop: the second setup never started
    EXPECT_TRUE(user.pageSaidWaiting) << ::testing::PrintToString(statuses);
    EXPECT_NE(std::string::npos, finish.find("The update was stopped")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Partly installed")) << finish;
    EXPECT_NE(std::string::npos, finish.find("installed in 1 of 2 installations")) << finish;
    // Each installation by its product and folder, never by its session.
    EXPECT_NE(std::string::npos, finish.find("Suite (\u2026/Applications/Suite \u00b7 1): installed")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite (\u2026/Applications/Suite \u00b7 2): not started")) << finish;
    EXPECT_EQ(std::string::npos, finish.find("{S")) << finish;
    EXPECT_EQ(std::string::npos, finish.find("\nInstalled\n")) << finish;  // not listed as installed
    EXPECT_NE(std::string::npos, finish.find("Choose Retry to install what remains.")) << finish;
    EXPECT_EQ("finish-retry", focused);
    // The report says the same, and a check afterwards agrees: the update is still to be installed.
    for (const std::string& problem : JsonSchemaSubset::Validate(nlohmann::json::parse(TestFiles::Read(REPORT_SCHEMA)), report)) {
        ADD_FAILURE() << "report: " << problem;
    }
    ASSERT_EQ(1u, report["patches"].size());
    const nlohmann::json& installation = report["patches"][0]["installation"];
    EXPECT_EQ("partial", installation["state"]) << installation;
    EXPECT_EQ(1u, installation["installed"].size()) << installation;
    EXPECT_EQ(1u, installation["notStarted"].size()) << installation;
    const std::string program = bundle.InstallProgram();
    ChildResult check = TestProcess::Run({program, "--mode=check"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine"});
    EXPECT_NE(std::string::npos, check.output.find("Suite Update 1.0.1: update available")) << check.output;
    // Only what the page said remains is planned; where the store records the patch, nothing runs again.
    EXPECT_NE(std::string::npos, check.output.find("Installed already: {PATCH} Suite Update 1.0.1 in session {S1}")) << check.output;
    EXPECT_NE(std::string::npos, check.output.find("Launch {PATCH} in session {S2}")) << check.output;
    EXPECT_EQ(std::string::npos, check.output.find("Launch {PATCH} in session {S1}")) << check.output;
}

// Asked through the window's close box this time; Escape at the question goes on.
TEST_F(WizardPages, EscapeAtTheQuestionContinues) {
    GenericUtils::SetAlertHandlerForTesting(GenericUtils::AlertHandler());
    SetupGate setups(box / "setups");
    Machine({"{S1}", "{S2}"}, "hold=" + setups.Path() + "\nrecord-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    StopQuestionUser user{display, box / "machine", setups, {"Escape"}};
    std::vector<std::string> statuses;
    std::string finish;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        SetupGate::LetGoAtExit release(setups);
        page.Key("Enter");
        CancelAndAnswer(page, user, statuses, true);
        finish = page.Text();
        page.Key("Enter");
    });
    EXPECT_TRUE(user.asked);
    EXPECT_TRUE(user.held);
    EXPECT_EQ(1u, user.launchesWhileAsked) << "the pass went on while the question was open";
    EXPECT_EQ(0u, code);
    EXPECT_EQ(2u, LaunchLines(box / "machine").size());
    EXPECT_NE(std::string::npos, finish.find("The updates are installed")) << finish;
}

TEST_F(WizardPages, RetryAfterTheBlockingApplicationQuits) {
    Machine({"{S1}"}, "record-installed=1\n");
    ProxyFields update = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    update.processes = {{"KvxBlockingApp", "1"}, {"KvxNoticeApp", "0"}};
    bundle.AddPatch(update);
    std::map<std::string, int> apps;
    for (const std::string name : {"KvxBlockingApp", "KvxNoticeApp"}) {
        TestFiles::Write(box / name, TestFiles::Read("/bin/sleep"));
        chmod((box / name).c_str(), 0755);
        apps[name] = TestProcess::Spawn({box / name, "60"});
    }
    std::string overview, check;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        overview = page.Text();
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
        page.Shot("wizard-check-applications");
        check = page.Text();
        EXPECT_EQ("check-retry", page.Focused());
        kill(apps["KvxBlockingApp"], SIGKILL);
        waitpid(apps["KvxBlockingApp"], nullptr, 0);
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Key("Enter");
    });
    kill(apps["KvxNoticeApp"], SIGKILL);
    waitpid(apps["KvxNoticeApp"], nullptr, 0);
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, overview.find("KvxNoticeApp")) << overview;  // a note, not a stop
    EXPECT_NE(std::string::npos, overview.find("Quit these applications before you install: KvxBlockingApp")) << overview;
    EXPECT_NE(std::string::npos, check.find("Quit this application to continue:")) << check;
    EXPECT_NE(std::string::npos, check.find("KvxBlockingApp")) << check;
    EXPECT_EQ(std::string::npos, check.find("KvxNoticeApp")) << check;
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());
}

TEST_F(WizardPages, RetryAfterTheOtherInstallerEnds) {
    Machine({"{S1}"}, "record-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::shared_ptr<NamedLock> other;
    ASSERT_TRUE(NamedLock::AcquireLock(TesmidConstants::kSetupLockName, other));
    std::string check, again;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
        page.Shot("wizard-check-installer");
        check = page.Text();
        page.Key("Enter");  // still running: the same step again, and it says so
        EXPECT_EQ("check", page.Step());
        again = page.Text();
        other.reset();
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Key("Enter");
    });
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, check.find("(process " + std::to_string(getpid()) + ") is installing. Wait until it has finished, then choose Retry."))
        << check;
    EXPECT_EQ(std::string::npos, check.find("Checked again")) << check;
    EXPECT_NE(std::string::npos, again.find("Checked again: the problem is still there.")) << again;
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());
}

// The disk page adds up what each installation takes, and says so in every script.
TEST_F(WizardPages, ShortDiskSpaceIsShownAndQuittingEndsWith25) {
    Machine({"{S1}", "{S2}"}, "record-installed=1\n");
    TestFiles::MakeFolders(box / "machine/Applications/Suite");
    ProxyFields update = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    update.totalSize = "900000000000000000";
    bundle.AddPatch(update);
    for (const std::string language : {"en_US", "he_IL", "ar_AE"}) {
        setenv("LANGUAGE", language.c_str(), 1);
        std::map<std::string, std::string> strings = PageStrings(language);
        std::string check, isolated;
        const unsigned code = Run([&](Page& page) {
            ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
            page.Key("Enter");
            ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
            page.Shot("wizard-check-disk-" + language);
            check = page.Text();
            // The volume and each folder read left to right, whole, whatever the sentence's direction.
            isolated = page.Eval("Array.prototype.map.call(document.querySelectorAll('#check bdi[dir=ltr]'), "
                                 "function (b) { return b.textContent; }).join('|')");
            page.Key("Escape");
        });
        EXPECT_EQ(25u, code) << language;
        EXPECT_NE(std::string::npos, check.find(strings["locDiskTitle"])) << check;
        EXPECT_NE(std::string::npos, isolated.find("\u2026/Applications/Suite \u00b7 1|\u2026/Applications/Suite \u00b7 2")) << isolated;
        if (language != "en_US") continue;
        EXPECT_NE(std::string::npos, check.find("needed: 3,433,227,539,062 MB")) << check;
        EXPECT_NE(std::string::npos, check.find("twice the 1,716,613,769,531 MB it puts there, to leave room for the copies and for "
                                                "the setup. What each installation takes:")) << check;
        EXPECT_NE(std::string::npos, check.find("858,306,884,766 MB in Suite (\u2026/Applications/Suite \u00b7 2)")) << check;
        EXPECT_NE(std::string::npos, check.find("free: ")) << check;
    }
    setenv("LANGUAGE", "en", 1);
    EXPECT_TRUE(LaunchLines(box / "machine").empty());
}

// A run that installs in one installation and fails in the other reads the same on the
// page, in the report and in a check afterwards, in every script; a Retry that fails the
// same way says so, and launches nothing where the patch already is: not in this session,
// and not in the later runs (the other languages), where the store records it.
TEST_F(WizardPages, APartialRunReadsTheSameOnThePageInTheReportAndInTheCheck) {
    // The first setup of each run waits until the progress page has been read.
    SetupGate setups(box / "setups");
    Machine({"{S1}", "{S2}"}, "hold=" + setups.Path() + "\nrecord-installed=1\n");
    TestFiles::Write(box / "machine/Library/Application Support/Kavex/Installers/{S2}/standin.conf",
                     "hold=" + setups.Path() + "\nexit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string program = bundle.InstallProgram();
    size_t launches = 0;
    for (const std::string language : {"en_US", "he_IL", "ar_AE"}) {
        setenv("LANGUAGE", language.c_str(), 1);
        std::map<std::string, std::string> strings = PageStrings(language);
        std::string progress, finish, again, heading, isolated, bar;
        nlohmann::json report;
        setups.Hold();
        const unsigned code = Run([&](Page& page) {
            SetupGate::LetGoAtExit release(setups);
            ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
            page.Key("Enter");
            ASSERT_TRUE(page.WaitFor("!document.getElementById('status-where').hidden"));
            page.Shot("wizard-progress-" + language);
            progress = page.Text();
            // A setup's own progress cannot be measured: the bar shows only what has ended.
            bar = page.Eval("document.getElementById('bar').getAttribute('aria-valuenow') + '|' + "
                            "document.getElementById('bar').getAttribute('aria-valuetext')");
            setups.LetGo();
            ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
            page.Shot("wizard-finish-partial-" + language);
            finish = page.Text();
            heading = page.Eval("document.querySelector('#finish-partial h2').textContent + '|' + "
                                "document.getElementById('finish-failed').hidden + '|' + document.getElementById('finish-installed').hidden");
            isolated = page.Eval("Array.prototype.map.call(document.querySelectorAll('#finish bdi[dir=ltr]'), "
                                 "function (b) { return b.textContent; }).join('|')");
            page.Key("Enter");  // Retry: the second installation fails again
            ASSERT_TRUE(page.WaitFor("document.getElementById('finish-again').textContent !== ''"));
            page.Shot("wizard-finish-again-" + language);
            again = page.Eval("document.getElementById('finish-again').textContent");
            page.Key("Escape");
        }, [&report](InstallerEngine& engine, unsigned code) { report = nlohmann::json::parse(SessionReport().Document(engine, code, "")); });
        EXPECT_EQ(28u, code) << language;
        // The first installation once in the first run, the second twice in every run.
        launches += language == "en_US" ? 3 : 2;
        EXPECT_EQ(launches, LaunchLines(box / "machine").size()) << language;
        EXPECT_NE(std::string::npos, progress.find(strings["locInstallingTitle"])) << progress;
        EXPECT_NE(std::string::npos, progress.find("Suite (\u2026/Applications/Suite \u00b7 " + std::string(language == "en_US" ? "1" : "2") + ")"))
            << progress;
        EXPECT_EQ(0u, bar.find("0|")) << bar;
        EXPECT_EQ(strings["locPartlyInstalledList"] + "|true|true", heading) << finish;
        EXPECT_NE(std::string::npos, finish.find(strings["locFailedTitle"])) << finish;
        EXPECT_EQ(std::string::npos, finish.find("{S")) << finish;
        EXPECT_NE(std::string::npos, isolated.find("\u2026/Applications/Suite \u00b7 1|\u2026/Applications/Suite \u00b7 2")) << isolated;
        EXPECT_EQ(strings["locFailedAgain"], again);
        if (language == "en_US") {
            EXPECT_NE(std::string::npos, finish.find("installed in 1 of 2 installations")) << finish;
            EXPECT_NE(std::string::npos, finish.find("Suite (\u2026/Applications/Suite \u00b7 1): installed")) << finish;
            EXPECT_NE(std::string::npos, finish.find("Suite (\u2026/Applications/Suite \u00b7 2): failed")) << finish;
            EXPECT_NE(std::string::npos, progress.find("Installation: Suite (\u2026/Applications/Suite \u00b7 1)")) << progress;
        }
        // The plural rules of each language choose its form for two.
        if (language == "he_IL") {
            EXPECT_NE(std::string::npos, finish.find("שתי התקנות")) << finish;
        }
        if (language == "ar_AE") {
            EXPECT_NE(std::string::npos, finish.find("تثبيتين")) << finish;
        }
        ASSERT_EQ(1u, report["patches"].size());
        const nlohmann::json& installation = report["patches"][0]["installation"];
        EXPECT_EQ("partial", installation["state"]) << installation;
        EXPECT_EQ(1u, installation["installed"].size()) << installation;
        EXPECT_EQ(1u, installation["failed"].size()) << installation;
        const ChildResult check = TestProcess::Run({program, "--mode=check"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine"});
        EXPECT_NE(std::string::npos, check.output.find("Installed already: {PATCH} Suite Update 1.0.1 in session {S1}")) << check.output;
        EXPECT_NE(std::string::npos, check.output.find("Launch {PATCH} in session {S2}")) << check.output;
        EXPECT_EQ(std::string::npos, check.output.find("Launch {PATCH} in session {S1}")) << check.output;
    }
    setenv("LANGUAGE", "en", 1);
}

// A driver that fails in the first installation stops the pass: the other installation is
// listed as not started, never as failed or forgotten; the report and the check agree.
TEST_F(WizardPages, AnAbortedPassListsTheInstallationsItNeverTried) {
    Machine({"{S1}", "{S2}"}, "exit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{PATCH}</KavexCode></Driver></PayloadInfo>");
    for (const std::string language : {"en_US", "he_IL", "ar_AE"}) {
        setenv("LANGUAGE", language.c_str(), 1);
        std::map<std::string, std::string> strings = PageStrings(language);
        std::string finish, heading;
        nlohmann::json report;
        const unsigned code = Run([&](Page& page) {
            ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
            page.Key("Enter");
            ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
            page.Shot("wizard-finish-untried-" + language);
            finish = page.Text();
            heading = page.Eval("document.querySelector('#finish-failed h2').textContent + '|' + document.getElementById('finish-partial').hidden");
            page.Key("Escape");
        }, [&report](InstallerEngine& engine, unsigned code) { report = nlohmann::json::parse(SessionReport().Document(engine, code, "")); });
        EXPECT_EQ(28u, code) << language;
        EXPECT_EQ(strings["locFailedList"] + "|true", heading) << finish;
        const std::string first = "Suite (\u2026/Applications/Suite \u00b7 1): " + strings["locStateFailed"];
        const std::string second = "Suite (\u2026/Applications/Suite \u00b7 2): " + strings["locStateNotStarted"];
        EXPECT_NE(std::string::npos, finish.find(first)) << finish;
        EXPECT_NE(std::string::npos, finish.find(second)) << finish;
        const nlohmann::json& installation = report["patches"][0]["installation"];
        EXPECT_EQ("failed", installation["state"]) << installation;
        EXPECT_EQ(1u, installation["failed"].size()) << installation;
        EXPECT_EQ(1u, installation["notStarted"].size()) << installation;
    }
    setenv("LANGUAGE", "en", 1);
    EXPECT_EQ(3u, LaunchLines(box / "machine").size());  // the first installation in each run, never the second
}

// Every text a French user sees comes from the French strings.
TEST_F(WizardPages, AFrenchRunShowsNoEnglish) {
    setenv("LANGUAGE", "fr", 1);
    Machine({"{S1}"}, "exit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::vector<std::string> seen;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Shot("wizard-overview-fr");
        seen.push_back(page.Text());
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Shot("wizard-finish-fr");
        seen.push_back(page.Text());
        page.Key("Escape");
    });
    EXPECT_EQ(28u, code);
    std::map<std::string, std::string> english = PageStrings("en_US"), french = PageStrings("fr_FR");
    ASSERT_EQ(english.size(), french.size());
    ASSERT_EQ(2u, seen.size());
    EXPECT_NE(std::string::npos, seen[0].find(french["locOverviewTitle"])) << seen[0];
    EXPECT_NE(std::string::npos, seen[1].find(french["locFailedTitle"])) << seen[1];
    for (std::string& text : seen) text = std::regex_replace(text, std::regex("Suite Update 1\\.0\\.1"), "");
    for (const auto& entry : english) {
        if (entry.second == french[entry.first]) continue;
        // The English text around its placeholders ("[size] MB" gives " MB").
        for (const std::string& piece : TestFiles::Lines(std::regex_replace(entry.second, std::regex("\\[[A-Za-z]+\\]"), "\n"))) {
            if (piece.size() < 4) continue;
            // As a word of its own: "Install" is not in "Installer".
            const std::regex word("(^|[^A-Za-z])" + std::regex_replace(piece, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
                                  "([^A-Za-z]|$)");
            for (const std::string& text : seen) EXPECT_FALSE(std::regex_search(text, word)) << entry.first << " in: " << text;
        }
    }
}

// However the user set German, the page speaks German: the same page for each spelling.
TEST_F(WizardPages, EverySpellingOfALocalePicksTheSameLanguage) {
    Machine({"{S1}"}, "record-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::vector<std::vector<std::string> > settings = {
        {"LANG", "de_DE.UTF-8"}, {"LANG", "de_AT.UTF-8"}, {"LANGUAGE", "de_DE:de"}, {"LANGUAGE", "xx:de_CH"},
        {"LC_ALL", "de_DE@euro"}, {"LC_MESSAGES", "de_LU.ISO-8859-15"}};
    std::vector<std::string> seen;
    for (const auto& setting : settings) {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
        setenv(setting[0].c_str(), setting[1].c_str(), 1);
        std::string shown;
        Run([&](Page& page) {
            ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
            shown = page.Eval("document.documentElement.lang") + "\n" + page.Text();
            if (seen.empty()) page.Shot("wizard-overview-de");
            page.Key("Escape");
        });
        seen.push_back(shown);
        EXPECT_NE(std::string::npos, shown.find("Updates sind verfügbar")) << setting[0] << "=" << setting[1] << ": " << shown;
        EXPECT_EQ(seen.front(), shown) << setting[0] << "=" << setting[1];
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    setenv("LANGUAGE", "en", 1);
}

// Every language of the table fills the pages: its own texts, nothing empty, nothing
// wider than the window; a picture of each for a reader.
TEST_F(WizardPages, EveryLanguageFillsThePages) {
    SetupGate setups(box / "setups");
    Machine({"{S1}", "{S2}"}, "hold=" + setups.Path() + "\nrecord-installed=1\n");
    // After the first language the store records the patch in {S1}: only {S2} runs, held until its page is read.
    TestFiles::Write(box / "machine/Library/Application Support/Kavex/Installers/{S2}/standin.conf",
                     "hold=" + setups.Path() + "\nexit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::set<std::string> languages;
    for (const auto& entry : LocalizationUtilities::GetKavexLocaleMap()) languages.insert(entry.second);
    ASSERT_EQ(25u, languages.size());
    const std::string fits =
        "Array.prototype.every.call(document.querySelectorAll('section:not([hidden]), section:not([hidden]) .buttons'), "
        "function (e) { return e.scrollWidth <= e.clientWidth; }) && Array.prototype.every.call("
        "document.querySelectorAll('section:not([hidden]) [data-l10n]'), function (e) { return e.offsetParent === null || "
        "e.textContent.trim() !== ''; })";
    for (std::string language : languages) {
        std::map<std::string, std::string> strings;
        XMLParserNative(std::string(RESOURCES_DIR) + "/main.xml").FetchLanguageStrings(strings, language);
        setenv("LANGUAGE", language.c_str(), 1);
        // Another installer holds the family's lock at first: the check step shows, then Retry goes on.
        std::shared_ptr<NamedLock> other;
        ASSERT_TRUE(NamedLock::AcquireLock(TesmidConstants::kSetupLockName, other));
        std::map<std::string, std::string> shown, fitting;
        setups.Hold();
        Run([&](Page& page) {
            SetupGate::LetGoAtExit release(setups);
            auto step = [&](const std::string& name) {
                page.Shot("lang-" + language + "-" + name);
                shown[name] = page.Text();
                fitting[name] = page.Eval(fits);
            };
            ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
            step("overview");
            page.Key("Enter");
            ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
            step("check");
            other.reset();
            page.Key("Enter");
            ASSERT_TRUE(page.WaitFor("!document.getElementById('progress').hidden && document.getElementById('bar').className !== 'busy'"));
            step("progress");
            setups.LetGo();
            ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
            step("finish");
            page.Key("Escape");
        });
        EXPECT_NE(std::string::npos, shown["overview"].find(strings["locOverviewTitle"])) << language << ": " << shown["overview"];
        EXPECT_NE(std::string::npos, shown["check"].find(strings["locSetupRunningTitle"])) << language << ": " << shown["check"];
        EXPECT_NE(std::string::npos, shown["progress"].find(strings["locInstallingTitle"])) << language << ": " << shown["progress"];
        EXPECT_NE(std::string::npos, shown["finish"].find(strings["locFailedTitle"])) << language << ": " << shown["finish"];
        for (const auto& entry : fitting) EXPECT_EQ("true", entry.second) << language << " " << entry.first;
    }
    setenv("LANGUAGE", "en", 1);
}

// Hebrew reads right to left, in the page and in the native dialogs; the page follows the
// desktop's dark theme as the dialogs do.
TEST_F(WizardPages, HebrewReadsRightToLeftAndFollowsTheDarkTheme) {
    setenv("LANGUAGE", "he_IL", 1);
    setenv("GTK_THEME", "Adwaita:dark", 1);
    Machine({"{S1}"}, "exit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::string overview, finish, background;
    GtkTextDirection direction = GTK_TEXT_DIR_NONE;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Shot("wizard-overview-he-dark");
        overview = page.Eval("document.documentElement.dir + '|' + document.documentElement.className + '|' + "
                             "document.documentElement.lang") + "\n" + page.Text();
        background = page.Eval("getComputedStyle(document.body).backgroundColor");
        direction = gtk_widget_get_default_direction();
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Shot("wizard-finish-he-dark");
        finish = page.Text();
        page.Key("Escape");
    });
    unsetenv("GTK_THEME");
    // Names and paths are isolated from the sentence's direction; the text is compared without the marks.
    finish = std::regex_replace(finish, std::regex("\u2068|\u2069"), "");
    EXPECT_EQ(28u, code);
    EXPECT_EQ(0u, overview.find("rtl|dark|he-IL\n")) << overview;
    EXPECT_NE(std::string::npos, overview.find("יש עדכונים זמינים")) << overview;
    EXPECT_EQ("rgb(30, 31, 34)", background);
    EXPECT_EQ(GTK_TEXT_DIR_RTL, direction);
    EXPECT_NE(std::string::npos, finish.find("Suite Update 1.0.1: תוכנית ההתקנה הסתיימה במצב 3.")) << finish;
}

// A bundle without its page tells the user so in their language, and ends as a broken
// bundle does, not as a user's stop.
TEST_F(WizardPages, AMissingPageIsReportedInTheUsersLanguage) {
    setenv("LANGUAGE", "fr", 1);
    Machine({"{S1}"}, "record-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    unlink((bundle.Root() + "/resources/main.html").c_str());
    const unsigned code = Run([](Page&) {});
    EXPECT_EQ(static_cast<unsigned>(ErrorCodes::kUnknownError), code);
    ASSERT_EQ(1u, alerts.size());
    // Why, what to do, and the code the run ends with.
    EXPECT_EQ(0u, alerts[0].find("La mise à jour ne peut pas démarrer\nDes ressources nécessaires sont manquantes.\n\nQuittez, puis "
                                 "relancez la mise à jour.")) << alerts[0];
    EXPECT_NE(std::string::npos, alerts[0].find("/tmp/moq.log")) << alerts[0];
    EXPECT_NE(std::string::npos, alerts[0].find("Code d'erreur : " + std::to_string(ErrorCodes::kUnknownError))) << alerts[0];
    EXPECT_TRUE(LaunchLines(box / "machine").empty());
}

// A bundle refused before the first page is a window in the user's language: the reason,
// what to do, the code, and Quit; the run still ends with 35.
TEST_F(WizardPages, ARefusedBundleSaysWhyAndEndsWith35) {
    Machine({"{S1}"}, "record-installed=1\n");
    store.Save();
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string program = bundle.InstallProgram();
    // A key folder that others than root could change trusts nothing, and refuses every bundle.
    const std::string keys = box / "machine/Library/Application Support/Kavex/TrustedKeys";
    TestFiles::MakeFolders(keys);
    chmod(keys.c_str(), 0777);
    for (const std::string language : {"en_US", "he_IL", "ar_AE"}) {
        std::map<std::string, std::string> strings = PageStrings(language);
        const std::string title = strings["locCannotStartTitle"];
        ChildResult run{-1, ""};
        std::thread user([&] {
            run = TestProcess::Run({program, "-norespawn"}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(),
                                                             "LANGUAGE=" + language, "NO_AT_BRIDGE=1"});
        });
        const bool shown = display.WaitForWindow(title, 30);
        if (shown) {
            bool blank = true;
            EXPECT_TRUE(display.SaveWhenDrawn(title, VirtualDisplay::ScreenshotPath("refusal-" + language), 5, blank));
            EXPECT_FALSE(blank);
            EXPECT_TRUE(display.Dismiss(title, "Return", 30));
        }
        user.join();
        EXPECT_TRUE(shown) << language << ": " << run.output;
        EXPECT_EQ(35, run.status) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("The bundle is refused: ")) << run.output;
    }
    EXPECT_TRUE(LaunchLines(box / "machine").empty());
}

// An ordinary user whose relaunch is refused is told, in French, how to start with rights, with
// a command that hands root none of the user's variables; Return asks again, Escape quits with 4.
TEST_F(WizardPages, RefusedRightsGiveTheRightsDialogAndCode4) {
    store.Save();
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string program = bundle.InstallProgram();
    chmod(box.Path().c_str(), 0755);
    const std::string pkexec = box / "pkexec", asked = box / "asked";
    TestFiles::Write(pkexec, "#!/bin/sh\necho asked >> " + asked + "\nexit 127\n");
    chmod(pkexec.c_str(), 0755);
    TestFiles::Write(asked, "");
    chmod(asked.c_str(), 0666);
    ChildResult run{-1, ""};
    std::thread user([&] {
        run = TestProcess::Run({program}, {"KAVEX_PKEXEC=" + pkexec, "KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(),
                                           "LANGUAGE=fr", "NO_AT_BRIDGE=1", "XAUTHORITY="},
                               true);
    });
    const bool shown = display.WaitForWindow("Des droits d'administrateur", 30);
    bool blank = true;
    if (shown) {
        EXPECT_TRUE(
            display.SaveWhenDrawn("Des droits d'administrateur", VirtualDisplay::ScreenshotPath("rights-dialog-fr"), 5, blank));
        EXPECT_FALSE(blank);
        display.PressKey("Des droits d'administrateur", "Return");
        for (int i = 0; i < 100 && TestFiles::Lines(TestFiles::Read(asked)).size() < 2; ++i) usleep(100000);
        EXPECT_TRUE(display.WaitForWindow("Des droits d'administrateur", 30));
        EXPECT_TRUE(display.Dismiss("Des droits d'administrateur", "Escape", 30));
    }
    user.join();
    EXPECT_TRUE(shown) << run.output;
    EXPECT_EQ(2u, TestFiles::Lines(TestFiles::Read(asked)).size());
    EXPECT_EQ(4, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sudo \"" + program + "\"")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("-E")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("End Kavex Update.  Exit code: 4")) << run.output;

    // In Hebrew the dialog reads right to left.
    std::thread hebrew([&] {
        run = TestProcess::Run({program}, {"KAVEX_PKEXEC=" + pkexec, "KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(),
                                           "LANGUAGE=he", "NO_AT_BRIDGE=1", "XAUTHORITY="},
                               true);
    });
    const bool shownHebrew = display.WaitForWindow("נדרשות הרשאות מנהל", 30);
    if (shownHebrew) {
        // Mapped is not yet drawn: on a busy machine the first picture can still be empty.
        EXPECT_TRUE(display.SaveWhenDrawn("נדרשות הרשאות מנהל", VirtualDisplay::ScreenshotPath("rights-dialog-he"), 5, blank));
        EXPECT_FALSE(blank);
        EXPECT_TRUE(display.Dismiss("נדרשות הרשאות מנהל", "Escape", 30));
    }
    hebrew.join();
    EXPECT_TRUE(shownHebrew) << run.output;
    EXPECT_EQ(4, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sudo \"" + program + "\"")) << run.output;
}

// The built program with its real pages, typed at through the display.
TEST_F(WizardPages, TheBuiltProgramInstallsWithEnterAndEnter) {
    Machine({"{S1}"}, "record-installed=1\n");
    store.Save();
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string program = bundle.InstallProgram();
    ChildResult run{-1, ""};
    std::thread user([&] {
        run = TestProcess::Run({program}, {"KAVEX_SYSTEM_ROOT=" + box / "machine", "DISPLAY=" + display.Name(), "NO_AT_BRIDGE=1"});
    });
    ASSERT_TRUE(display.WaitForWindow("Suite Update", 30));
    bool blank = true;
    EXPECT_TRUE(display.SaveWhenDrawn("Suite Update", VirtualDisplay::ScreenshotPath("program-overview"), 10, blank));
    EXPECT_FALSE(blank);
    display.PressKey("Suite Update", "Return");
    for (int i = 0; i < 300 && LaunchLines(box / "machine").empty(); ++i) usleep(100000);
    // Enter does nothing while installing and closes the finish page.
    for (int i = 0; i < 60 && display.WaitForWindow("Suite Update", 0); ++i) {
        usleep(500000);
        display.PressKey("Suite Update", "Return");
    }
    user.join();
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());
}

}  // namespace
