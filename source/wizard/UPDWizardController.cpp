#include "UPDWizardController.h"

#include "ErrorCodes.h"
#include "FileSystemUtils.h"
#include "GenericUtils.h"
#include "InstallerEngine.h"
#include "JSMethodPublisherGroup.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"
#include "MainBundle.h"
#include "StartupRefusal.h"
#include "PayloadsManager.h"
#include "TesmidUserInterfaceJSPublisher.h"
#include "ThreadController.h"
#include "ThreadPayloadOperation.h"
#include "UIDriverFullGUI.h"
#include "WebViewBridge.h"

bool ResizeContentAndCenter(GtkWindow* window, unsigned long width, unsigned long height) {
    if (window == nullptr) return false;
    gtk_window_resize(window, static_cast<gint>(width), static_cast<gint>(height));
    GdkRectangle area{0, 0, 0, 0};
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    if (GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr) {
        gdk_monitor_get_workarea(monitor, &area);
    } else if (display != nullptr && gdk_display_get_n_monitors(display) > 0) {
        gdk_monitor_get_workarea(gdk_display_get_monitor(display, 0), &area);
    }
    gtk_window_move(window, area.x + (area.width - static_cast<gint>(width)) / 2, area.y + (area.height - static_cast<gint>(height)) / 2);
    return true;
}

void UPDWizardController::TerminateApplication() {
    if (gtk_main_level() > 0) gtk_main_quit();
}

UPDWizardController::UPDWizardController() : _wizardData(new UPDWizardData()) {
    InstallerEngine* engine = UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine;
    _wizardData->engine = engine;
    _wizardData->payloadsManager = engine != nullptr ? engine->GetPayloadsManager() : nullptr;
    _threadP.reset(new ThreadPayloadOperation());
    mPublisher.reset(new TesmidUserInterfaceJSPublisher(engine));
    std::vector<JSMethodPublisherInterface*> publishers{mPublisher.get()};
    mGroup.reset(new JSMethodPublisherGroup(publishers));
    _wizardData->publisher = mGroup.get();
    mPublisher->SetDelegate(this);

    mWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(mWindow);
    gtk_window_set_default_size(GTK_WINDOW(mWindow), 640, 480);
    wizardView = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_container_add(GTK_CONTAINER(mWindow), GTK_WIDGET(wizardView));
    g_signal_connect(mWindow, "delete-event", G_CALLBACK(OnDeleteEvent), this);
    mBridge.reset(new WebViewBridge(wizardView, mGroup.get(), [this] {
        mStartupFailed = true;
        TerminateApplication();
    }, false));
    FollowColorScheme();
}

bool UPDWizardController::PrefersDark() const {
    // The theme as GTK resolved it (settings, GTK_THEME, the desktop's own): light text means dark.
    GdkRGBA text{0, 0, 0, 1};
    gtk_style_context_get_color(gtk_widget_get_style_context(mWindow), GTK_STATE_FLAG_NORMAL, &text);
    return 0.2126 * text.red + 0.7152 * text.green + 0.0722 * text.blue > 0.5;
}

void UPDWizardController::FollowColorScheme() {
    const bool dark = PrefersDark();
    // What shows before the page's first frame is the page's own background.
    const GdkRGBA background = dark ? GdkRGBA{0x1e / 255.0, 0x1f / 255.0, 0x22 / 255.0, 1} : GdkRGBA{0xf6 / 255.0, 0xf6 / 255.0, 0xf7 / 255.0, 1};
    webkit_web_view_set_background_color(wizardView, &background);
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(wizardView);
    WebKitUserScript* script = webkit_user_script_new(dark ? "window.DARKColorScheme = 'dark';" : "window.DARKColorScheme = 'light';",
                                                      WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
                                                      nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
}

UPDWizardController::~UPDWizardController() {
    if (mQuestionSource != 0) g_source_remove(mQuestionSource);
    if (mShowFallback != 0) g_source_remove(mShowFallback);
    mBridge.reset();
    gtk_widget_destroy(mWindow);
    g_object_unref(mWindow);
}

void UPDWizardController::RunApplication() {
    awakeFromNib();
    g_idle_add(
        [](gpointer self) -> gboolean {
            static_cast<UPDWizardController*>(self)->applicationDidFinishLaunching();
            return G_SOURCE_REMOVE;
        },
        this);
    gtk_main();
    // The window stays while a pass finishes.
    WaitForRunningPass();
    applicationWillTerminate();
}

void UPDWizardController::awakeFromNib() {
    if (_wizardData->engine == nullptr) return;
    // The running bundle's own, whatever its name and folder; every window made from
    // now on, dialogs included, carries it.
    const std::string icon = MainBundle::ResourcesPath() + "/Update.svg";
    if (access(icon.c_str(), R_OK) == 0) gtk_window_set_default_icon_from_file(icon.c_str(), nullptr);
    std::map<std::string, std::string> strings;
    if (LocalizationUtilities::GetDictionaryForLanguage(_wizardData->engine, strings)) GenericUtils::SetNativeStrings(strings);
    std::string locale;
    LocalizationUtilities::GetUserInterfaceLanguage(locale);
    GenericUtils::SetDirectionForLanguage(LocalizationUtilities::GetUILanguageForLanguage(locale));
}

void UPDWizardController::applicationDidFinishLaunching() {
    gtk_window_set_position(GTK_WINDOW(mWindow), GTK_WIN_POS_CENTER);
    GenericUtils::SetDialogParent(GTK_WINDOW(mWindow));
    FileSystemPath page(_wizardData->engine != nullptr ? _wizardData->engine->mBundleFolder : FileSystemPath("/"));
    page.AppendUTF8Segment("resources").AppendUTF8Segment("main.html");
    if (_wizardData->engine == nullptr || !FileSystemUtils::Exists(page)) {
        mStartupFailed = true;
        if (_wizardData->engine != nullptr) {
            StartupRefusal::Show(*_wizardData->engine, ErrorCodes::kUnknownError, "locMissingResources",
                                 "resources/main.html is missing");
        } else {
            GenericUtils::DisplayNotice(GenericUtils::NativeString("locStartupErrorTitle"),
                                        GenericUtils::NativeString("locMissingResources"), GenericUtils::NativeString("locQuit"));
        }
        TerminateApplication();
        return;
    }
    // The window appears when the page asks for it, with its step filled in; a page
    // that never asks is shown all the same once it has had its time.
    mShowFallback = g_timeout_add(kShowFallbackMs, [](gpointer self) -> gboolean {
        static_cast<UPDWizardController*>(self)->mShowFallback = 0;
        static_cast<UPDWizardController*>(self)->setVisibility(true);
        return G_SOURCE_REMOVE;
    }, this);
    gchar* uri = g_filename_to_uri(page.AsUTF8String().c_str(), nullptr, nullptr);
    webkit_web_view_load_uri(wizardView, uri);
    g_free(uri);
}

void UPDWizardController::applicationWillTerminate() {
    GenericUtils::SetDialogParent(nullptr);
    gtk_widget_hide(mWindow);
}

void UPDWizardController::WaitForRunningPass() {
    if (_wizardData->payloadsManager != nullptr) {
        _wizardData->payloadsManager->SetContinueInstall(false);
        _wizardData->payloadsManager->Gate().Release();
    }
    if (!_started) return;
    while (NativeThreadController::GetInstance()->Controller().currentWorker()) g_main_context_iteration(nullptr, TRUE);
}

TSMDelegateAnswer UPDWizardController::setViewWidth(unsigned long width, unsigned long height) {
    return ResizeContentAndCenter(GTK_WINDOW(mWindow), width, height) ? kTSMYes : kTSMNo;
}

TSMDelegateAnswer UPDWizardController::setVisibility(bool visible) {
    const bool shown = gtk_widget_get_visible(mWindow);
    if (visible) {
        if (mShowFallback != 0) {
            g_source_remove(mShowFallback);
            mShowFallback = 0;
        }
        if (!shown) {
            gtk_widget_show_all(mWindow);
            gtk_window_present(GTK_WINDOW(mWindow));
        } else {
            gtk_widget_queue_draw(GTK_WIDGET(wizardView));
        }
    } else if (shown) {
        gtk_widget_hide(mWindow);
    }
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::setTitle(const std::string& title) {
    if (title.empty()) return kTSMNo;
    gtk_window_set_title(GTK_WINDOW(mWindow), title.c_str());
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::setCloseBoxEnabled(bool enabled) {
    gtk_window_set_deletable(GTK_WINDOW(mWindow), enabled);
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::exitDialog(const std::string&) {
    TerminateApplication();
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::onUpdate() {
    if (_wizardData->payloadsManager != nullptr) {
        _started = mInstallStarted = true;
        _threadP->Execute();
    }
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::onInitializePM() {
    if (_wizardData->payloadsManager != nullptr) {
        _started = true;
        // A new attempt (Install, Retry): not prepared before its preparation has run (the page
        // polls for it), and not stopped; a stop asked for from here on holds for its installation.
        _wizardData->payloadsManager->RequirePreparation();
        _wizardData->payloadsManager->SetContinueInstall(true);
        _threadP->InitializePM();
    }
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::onCancel() {
    PayloadsManager* manager = _wizardData->payloadsManager;
    if (_started && !_done && manager != nullptr) {
        if (mAsking) return kTSMYes;
        mAsking = true;
        // Held before the page gets its answer: no setup starts until the user has chosen.
        manager->Gate().Hold();
        // Asked from the main loop, so that the page keeps showing the progress meanwhile.
        mQuestionSource = g_idle_add(
            [](gpointer self) -> gboolean {
                static_cast<UPDWizardController*>(self)->mQuestionSource = 0;
                static_cast<UPDWizardController*>(self)->AskToStop();
                return G_SOURCE_REMOVE;
            },
            this);
    } else {
        TerminateApplication();
    }
    return kTSMYes;
}

TSMDelegateAnswer UPDWizardController::copyText(const std::string& text) {
    GtkClipboard* clipboard = gtk_widget_get_clipboard(mWindow, GDK_SELECTION_CLIPBOARD);
    if (clipboard == nullptr) return kTSMNo;
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(clipboard);
    return kTSMYes;
}

void UPDWizardController::AskToStop() {
    PayloadsManager* manager = _wizardData->payloadsManager;
    const bool stop = GenericUtils::AskToStop(GenericUtils::NativeString("ConfirmationTitle"), GenericUtils::NativeString("WaitAndQuitMessage"),
                                              GenericUtils::NativeString("CancelButtonLabel"), GenericUtils::NativeString("WaitAndQuitLabel"));
    // The running setup finishes either way; the pass reads the flag before the next one.
    if (stop) manager->SetContinueInstall(false);
    manager->Gate().Release();
    mAsking = false;
}

gboolean UPDWizardController::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
    // Closing the window while a pass runs asks as the page's cancel does; a pass is never cut off.
    if (NativeThreadController::GetInstance()->Controller().currentWorker()) {
        static_cast<UPDWizardController*>(self)->onCancel();
    } else {
        TerminateApplication();
    }
    return TRUE;
}
