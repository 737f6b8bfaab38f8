// Connects a WebKit view to the native methods: script dialogs carry the calls,
// and every finished load installs the page's container methods.
#ifndef WEB_VIEW_BRIDGE_H
#define WEB_VIEW_BRIDGE_H

#include <webkit2/webkit2.h>

#include <functional>
#include <string>

class JSMethodPublisherInterface;

class WebViewBridge {
public:
    // onFatal runs when the support script is missing (after the startup alert).
    WebViewBridge(WebKitWebView* view, JSMethodPublisherInterface* publishers, std::function<void()> onFatal,
                  bool openNewWindowsInBrowser);
    ~WebViewBridge();

    bool PageLoaded() const { return mPageLoaded; }
    void SetPageLoaded(bool loaded) { mPageLoaded = loaded; }
    void Evaluate(const std::string& script);

    // The bundle's support script that defines DARK and its container methods.
    static std::string SupportScriptPath();

private:
    static gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self);
    static void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer);
    static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
    void InstallBridge();

    WebKitWebView* mView;
    JSMethodPublisherInterface* mPublishers;
    std::function<void()> mOnFatal;
    bool mOpenNewWindowsInBrowser;
    bool mPageLoaded = false;
};

#endif
