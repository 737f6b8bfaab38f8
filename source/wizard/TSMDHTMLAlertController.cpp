#include "TSMDHTMLAlertController.h"

#include "GenericUtils.h"
#include "JSMethodPublisherGroup.h"
#include "TesmidUserInterfaceJSPublisher.h"
#include "UIDriverFullGUI.h"
#include "UPDWizardController.h"
#include "WebViewBridge.h"

const char* const TSMDHTMLAlertController::kBlankPage = "<HTML><HEAD><TITLE>Alert</TITLE></HEAD><BODY></BODY></HTML>";

namespace {
// Relative references in an alert resolve against the machine's root.
const char* const kBaseURI = "file:///";
}

TSMDHTMLAlertController::TSMDHTMLAlertController() : _alertData(new TSMDHTMLAlertData()) {
    mPublisher.reset(new TesmidUserInterfaceJSPublisher(UIDriverFullGUI::UIDriverFullGUIData::sInstallerEngine));
    std::vector<JSMethodPublisherInterface*> publishers{mPublisher.get()};
    _alertData->publisher.reset(new JSMethodPublisherGroup(publishers));
    mPublisher->SetDelegate(this);

    mWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(mWindow);
    gtk_window_set_modal(GTK_WINDOW(mWindow), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(mWindow), 420, 220);
    // A web process of its own: the wizard's page waits in its call while this one runs.
    WebKitWebContext* context = webkit_web_context_new();
    dhtmlView = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
    g_object_unref(context);
    gtk_container_add(GTK_CONTAINER(mWindow), GTK_WIDGET(dhtmlView));
    g_signal_connect(mWindow, "delete-event", G_CALLBACK(OnDeleteEvent), this);
    mBridge.reset(new WebViewBridge(dhtmlView, _alertData->publisher.get(), [] { UPDWizardController::TerminateApplication(); }, true));
    windowDidLoad();
}

TSMDHTMLAlertController::~TSMDHTMLAlertController() {
    mBridge.reset();
    gtk_widget_destroy(mWindow);
    g_object_unref(mWindow);
}

void TSMDHTMLAlertController::windowDidLoad() {
    gtk_window_set_position(GTK_WINDOW(mWindow), GTK_WIN_POS_CENTER);
    WebKitSettings* settings = webkit_web_view_get_settings(dhtmlView);
    webkit_settings_set_enable_tabs_to_links(settings, TRUE);
    LoadPage(kBlankPage);
}

void TSMDHTMLAlertController::LoadPage(const std::string& html) {
    mBridge->SetPageLoaded(false);
    webkit_web_view_load_html(dhtmlView, html.c_str(), kBaseURI);
}

void TSMDHTMLAlertController::PumpUntilLoaded() {
    while (!mBridge->PageLoaded()) g_main_context_iteration(nullptr, TRUE);
}

bool TSMDHTMLAlertController::showDHTMLAlert(const std::string& html, std::string& result) {
    if (_alertData->busy) return false;
    _alertData->busy = true;
    _alertData->exitString.reset();
    mAborted = false;
    // Attached to the wizard, so that the wizard can never be raised over it; titled as it is
    // until the alert's page names itself.
    GtkWindow* parent = GenericUtils::DialogParent();
    gtk_window_set_transient_for(GTK_WINDOW(mWindow), parent);
    const gchar* parentTitle = parent != nullptr ? gtk_window_get_title(parent) : nullptr;
    gtk_window_set_title(GTK_WINDOW(mWindow), parentTitle != nullptr ? parentTitle : "");
    gtk_widget_show_all(mWindow);
    gtk_window_present(GTK_WINDOW(mWindow));
    PumpUntilLoaded();  // the blank page of the previous alert
    LoadPage(html);
    while (!mAborted) g_main_context_iteration(nullptr, TRUE);
    PumpUntilLoaded();
    LoadPage(kBlankPage);
    PumpUntilLoaded();
    if (!_getExitString(result)) result.clear();
    gtk_widget_hide(mWindow);
    _alertData->busy = false;
    return true;
}

bool TSMDHTMLAlertController::_getExitString(std::string& text) const {
    if (!_alertData->exitString) return false;
    text = *_alertData->exitString;
    return true;
}

TSMDelegateAnswer TSMDHTMLAlertController::exitDialog(const std::string& text) {
    _alertData->exitString = std::make_shared<std::string>(text);
    mAborted = true;
    return kTSMYes;
}

TSMDelegateAnswer TSMDHTMLAlertController::setViewWidth(unsigned long width, unsigned long height) {
    return ResizeContentAndCenter(GTK_WINDOW(mWindow), width, height) ? kTSMYes : kTSMNo;
}

TSMDelegateAnswer TSMDHTMLAlertController::setVisibility(bool visible) {
    const bool shown = gtk_widget_get_visible(mWindow);
    if (visible && !shown) {
        gtk_widget_show_all(mWindow);
        gtk_window_present(GTK_WINDOW(mWindow));
    } else if (!visible && shown) {
        gtk_widget_hide(mWindow);
    }
    return kTSMYes;
}

TSMDelegateAnswer TSMDHTMLAlertController::setTitle(const std::string& title) {
    if (title.empty()) return kTSMNo;
    gtk_window_set_title(GTK_WINDOW(mWindow), title.c_str());
    return kTSMYes;
}

gboolean TSMDHTMLAlertController::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
    // Closing the alert ends it without an answer.
    static_cast<TSMDHTMLAlertController*>(self)->mAborted = true;
    return TRUE;
}
