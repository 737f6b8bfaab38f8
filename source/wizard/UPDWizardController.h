// The wizard's window: a web view with the page, and the native side the page talks to.
#ifndef UPD_WIZARD_CONTROLLER_H
#define UPD_WIZARD_CONTROLLER_H

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

#include "TSMTesmidUIDelegateProtocol.h"

class InstallerEngine;
class JSMethodPublisherInterface;
class PayloadsManager;
class TesmidUserInterfaceJSPublisher;
class ThreadOperation;
class WebViewBridge;

struct UPDWizardData {
    JSMethodPublisherInterface* publisher = nullptr;
    InstallerEngine* engine = nullptr;
    PayloadsManager* payloadsManager = nullptr;
};

class UPDWizardController : public TSMTesmidUIDelegateProtocol {
public:
    UPDWizardController();  // on the full-GUI driver's engine
    ~UPDWizardController() override;

    // Shows the wizard and runs the main loop until the application ends, then lets
    // a running pass finish.
    void RunApplication();

    void awakeFromNib();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    TSMDelegateAnswer setViewWidth(unsigned long width, unsigned long height) override;
    TSMDelegateAnswer setVisibility(bool visible) override;
    TSMDelegateAnswer setTitle(const std::string& title) override;
    TSMDelegateAnswer setCloseBoxEnabled(bool enabled) override;
    TSMDelegateAnswer exitDialog(const std::string& text) override;
    TSMDelegateAnswer onUpdate() override;
    TSMDelegateAnswer onInitializePM() override;
    TSMDelegateAnswer onCancel() override;
    TSMDelegateAnswer copyText(const std::string& text) override;

    // A pass that runs when the wizard ends is let finish: no installation is cut off.
    void WaitForRunningPass();
    GtkWindow* Window() const { return GTK_WINDOW(mWindow); }
    bool Started() const { return _started; }
    bool InstallStarted() const { return mInstallStarted; }
    // The page could not be shown (its files are missing).
    bool StartupFailed() const { return mStartupFailed; }
    // Ends the application's main loop.
    static void TerminateApplication();

private:
    UPDWizardController(const UPDWizardController&) = delete;
    UPDWizardController& operator=(const UPDWizardController&) = delete;
    static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);
    void AskToStop();
    bool PrefersDark() const;
    void FollowColorScheme();
    static const guint kShowFallbackMs = 5000;

    GtkWidget* mWindow;
    WebKitWebView* wizardView;
    std::unique_ptr<UPDWizardData> _wizardData;
    std::unique_ptr<ThreadOperation> _threadP;
    bool _done = false;
    bool _started = false;
    bool mInstallStarted = false;
    bool mAsking = false;      // the stop question is open, or about to be
    guint mQuestionSource = 0;
    guint mShowFallback = 0;
    bool mStartupFailed = false;
    std::unique_ptr<TesmidUserInterfaceJSPublisher> mPublisher;
    std::unique_ptr<JSMethodPublisherInterface> mGroup;
    std::unique_ptr<WebViewBridge> mBridge;
};

// Resizes a window so that its content area is width x height, and centers it.
bool ResizeContentAndCenter(GtkWindow* window, unsigned long width, unsigned long height);

#endif
