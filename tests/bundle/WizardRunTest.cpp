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
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <regex>
#include <map>
#include <thread>

#include "GenericUtils.h"
#include "InstallerEngine.h"
#include "NamedLock.h"
#include "TesmidConstants.h"
#include "UIDriverFactory.h"
#include "UIDriverFullGUI.h"
#include "XMLParserNative.h"

namespace {

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
    bool WaitFor(const std::string& condition, const std::function<void()>& each = nullptr) {
        for (gint64 end = g_get_monotonic_time() + 40 * G_USEC_PER_SEC; g_get_monotonic_time() < end;) {
            if (Eval("!!(" + condition + ")") == "true") return true;
            if (each) each();
            const gint64 until = g_get_monotonic_time() + 50000;
            while (g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE), g_usleep(2000);
        }
        ADD_FAILURE() << "the page never showed " << condition << "; it shows " << Step() << ": " << Text();
        return false;
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
    unsigned Run(const std::function<void(Page&)>& user) {
        store.Save();
        struct Context {
            const std::function<void(Page&)>* user;
            Page* page;
        };
        Page page(display);
        Context context{&user, &page};
        g_idle_add(
            [](gpointer data) -> gboolean {
                Context& c = *static_cast<Context*>(data);
                (*c.user)(*c.page);
                // A user who gave up leaves the wizard running: end it.
                g_timeout_add_seconds(20, [](gpointer) -> gboolean {
                    ADD_FAILURE() << "the wizard did not end";
                    gtk_main_quit();
                    return G_SOURCE_REMOVE;
                }, nullptr);
                return G_SOURCE_REMOVE;
            },
            &context);
        InstallerEngine engine(bundle.Root());
        return engine.Main({bundle.Root() + "/Update.app/Contents/MacOS/Update", "-norespawn"});
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
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Shot("wizard-overview");
        overview = page.Text();
        EXPECT_EQ("overview-install", page.Focused());
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
    EXPECT_EQ("100|status|Suite Update", value);
    EXPECT_EQ(2u, LaunchLines(box / "machine").size());  // the hidden patch goes with the one shown
}

TEST_F(WizardPages, AFailedSetupIsShownWithItsReasonAndEndsWith28) {
    Machine({"{S1}"}, "exit=3\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::string finish, titleClass;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Shot("wizard-finish-failed");
        finish = page.Text();
        titleClass = page.Eval("document.getElementById('finish-title').className");
        page.Key("Escape");
    });
    EXPECT_EQ(28u, code);
    EXPECT_NE(std::string::npos, finish.find("Some updates could not be installed")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite Update 1.0.1: could not be installed.")) << finish;
    EXPECT_NE(std::string::npos, finish.find("/tmp/moq.log")) << finish;
    EXPECT_EQ("error", titleClass);
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

TEST_F(WizardPages, CancelStopsAfterTheRunningSetup) {
    Machine({"{S1}", "{S2}"}, "sleep=2500\nrecord-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    std::vector<int> values;
    std::string progress, stopping, finish;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        auto sample = [&] {
            const std::string now = page.Eval("document.getElementById('bar').getAttribute('aria-valuenow')");
            if (!now.empty() && now != "null") values.push_back(std::stoi(now));
        };
        ASSERT_TRUE(page.WaitFor("/Installing 1 of 2: Suite Update 1.0.1/.test(document.getElementById('status').textContent)", sample));
        progress = page.Text();
        page.Shot("wizard-progress");
        page.Key("Escape");
        ASSERT_TRUE(page.WaitFor("/Stopping/.test(document.getElementById('status').textContent)", sample));
        stopping = page.Text();
        page.Shot("wizard-stopping");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden", sample));
        page.Shot("wizard-finish-stopped");
        finish = page.Text();
        page.Key("Enter");
    });
    EXPECT_EQ(2u, code);
    EXPECT_EQ((std::vector<std::string>{"The update in progress will be completed; no further update will be installed."}), alerts);
    EXPECT_NE(std::string::npos, stopping.find("Stopping after the current update")) << stopping;
    EXPECT_NE(std::string::npos, finish.find("The update was stopped")) << finish;
    EXPECT_NE(std::string::npos, finish.find("Suite Update 1.0.1")) << finish;
    EXPECT_NE(std::string::npos, finish.find("The other updates were not installed")) << finish;
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());  // the second setup never started
    ASSERT_FALSE(values.empty());
    for (size_t i = 1; i < values.size(); ++i) EXPECT_LE(values[i - 1], values[i]) << "the bar moved backwards";
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
    std::string check;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
        page.Shot("wizard-check-installer");
        check = page.Text();
        page.Key("Enter");  // still running: the same step again
        EXPECT_EQ("check", page.Step());
        other.reset();
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('finish').hidden"));
        page.Key("Enter");
    });
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, check.find("Another installer is running. Quit it to update")) << check;
    EXPECT_EQ(1u, LaunchLines(box / "machine").size());
}

TEST_F(WizardPages, ShortDiskSpaceIsShownAndQuittingEndsWith25) {
    Machine({"{S1}"}, "record-installed=1\n");
    TestFiles::MakeFolders(box / "machine/Applications/Suite");
    ProxyFields update = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    update.totalSize = "900000000000000000";
    bundle.AddPatch(update);
    std::string check;
    const unsigned code = Run([&](Page& page) {
        ASSERT_TRUE(page.WaitFor("document.querySelector('#updates li')"));
        page.Key("Enter");
        ASSERT_TRUE(page.WaitFor("!document.getElementById('check').hidden"));
        page.Shot("wizard-check-disk");
        check = page.Text();
        page.Key("Escape");
    });
    EXPECT_EQ(25u, code);
    EXPECT_NE(std::string::npos, check.find("Not enough disk space")) << check;
    EXPECT_NE(std::string::npos, check.find("needed: 1716613769531 MB")) << check;
    EXPECT_NE(std::string::npos, check.find("free: ")) << check;
    EXPECT_TRUE(LaunchLines(box / "machine").empty());
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
        page.Key("Enter");
    });
    EXPECT_EQ(28u, code);
    std::map<std::string, std::string> english, french;
    std::string en = "en_US", fr = "fr_FR";
    XMLParserNative(std::string(RESOURCES_DIR) + "/main.xml").FetchLanguageStrings(english, en);
    XMLParserNative(std::string(RESOURCES_DIR) + "/main.xml").FetchLanguageStrings(french, fr);
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
        display.PressKey("Des droits d'administrateur", "Escape");
    }
    user.join();
    EXPECT_TRUE(shown) << run.output;
    EXPECT_EQ(2u, TestFiles::Lines(TestFiles::Read(asked)).size());
    EXPECT_EQ(4, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sudo \"" + program + "\"")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("-E")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("End Kavex Update.  Exit code: 4")) << run.output;
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
