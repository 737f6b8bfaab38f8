#include "WebViewBridge.h"

#include "FileSystemUtils.h"
#include "GenericUtils.h"
#include "JSMethodPublisherInterface.h"
#include "JSPageProtocol.h"
#include "MOQLogger.h"
#include "MainBundle.h"
#include "RegularFile.h"

WebViewBridge::WebViewBridge(WebKitWebView* view, JSMethodPublisherInterface* publishers, std::function<void()> onFatal,
                             bool openNewWindowsInBrowser)
    : mView(view), mPublishers(publishers), mOnFatal(onFatal), mOpenNewWindowsInBrowser(openNewWindowsInBrowser) {
    g_signal_connect(view, "script-dialog", G_CALLBACK(OnScriptDialog), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), this);
    g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
}

WebViewBridge::~WebViewBridge() { g_signal_handlers_disconnect_by_data(mView, this); }

std::string WebViewBridge::SupportScriptPath() { return MainBundle::SharedSupportPath() + "/onFrameLoad.js"; }

void WebViewBridge::Evaluate(const std::string& script) {
    webkit_web_view_evaluate_javascript(mView, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void WebViewBridge::InstallBridge() {
    std::string support;
    if (RegularFile::Read(SupportScriptPath(), RegularFile::kNoFinalLink, support) != RegularFile::kRead) {
        GenericUtils::DisplayNotice(GenericUtils::NativeString("locStartupErrorTitle"), GenericUtils::NativeString("locMissingSupportFiles"),
                                    GenericUtils::NativeString("locQuit"));
        if (mOnFatal) mOnFatal();
        return;
    }
    Evaluate(support);
    for (const std::string& script : JSPageProtocol::BridgeInstallScripts(*mPublishers)) Evaluate(script);
    mPageLoaded = true;
}

void WebViewBridge::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    if (event == WEBKIT_LOAD_FINISHED) static_cast<WebViewBridge*>(self)->InstallBridge();
}

gboolean WebViewBridge::OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) {
    WebViewBridge& bridge = *static_cast<WebViewBridge*>(self);
    const std::string message = webkit_script_dialog_get_message(dialog);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
        case WEBKIT_SCRIPT_DIALOG_PROMPT: {
            // The page's calls: the answer is the prompt's text, no answer leaves it null.
            if (!JSPageProtocol::IsDARKCall(message)) return FALSE;
            std::string result;
            if (JSPageProtocol::Dispatch(*bridge.mPublishers, message, result)) {
                webkit_script_dialog_prompt_set_text(dialog, result.c_str());
            }
            return TRUE;
        }
        case WEBKIT_SCRIPT_DIALOG_ALERT: {
            if (!JSPageProtocol::IsDARKCall(message)) {
                GenericUtils::DisplayNotice("JavaScript Alert", message, "OK");
                return TRUE;
            }
            std::string result;
            const bool hasResult = JSPageProtocol::Dispatch(*bridge.mPublishers, message, result);
            bridge.Evaluate(JSPageProtocol::ResultAssignmentScript(hasResult, result));
            return TRUE;
        }
        case WEBKIT_SCRIPT_DIALOG_CONFIRM: {
            const bool confirmed = !GenericUtils::DisplayAlert(message, "OK", GenericUtils::NativeString("CancelButtonLabel"),
                                                               GenericUtils::NativeString("ConfirmationTitle"));
            webkit_script_dialog_confirm_set_confirmed(dialog, confirmed);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

gboolean WebViewBridge::OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
    return TRUE;  // no context menu for any element
}

gboolean WebViewBridge::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                       gpointer self) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) return FALSE;
    WebViewBridge& bridge = *static_cast<WebViewBridge*>(self);
    if (bridge.mOpenNewWindowsInBrowser) {
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const gchar* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        if (uri != nullptr && !g_app_info_launch_default_for_uri(uri, nullptr, nullptr)) MOQ_LOG("Cannot open %s\n", uri);
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}
