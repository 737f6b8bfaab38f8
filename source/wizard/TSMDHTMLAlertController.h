// The modal alert whose content is HTML, with its own view and web process.
#ifndef TSM_DHTML_ALERT_CONTROLLER_H
#define TSM_DHTML_ALERT_CONTROLLER_H

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "DHTMLAlertController.h"
#include "TSMTesmidUIDelegateProtocol.h"

class JSMethodPublisherInterface;
class TesmidUserInterfaceJSPublisher;
class WebViewBridge;

struct TSMDHTMLAlertData {
    std::shared_ptr<JSMethodPublisherInterface> publisher;
    std::shared_ptr<std::string> exitString;
    bool busy = false;
};

class TSMDHTMLAlertController : public DHTMLAlertController, public TSMTesmidUIDelegateProtocol {
public:
    static const char* const kBlankPage;

    TSMDHTMLAlertController();
    ~TSMDHTMLAlertController() override;

    bool showDHTMLAlert(const std::string& html, std::string& result) override;
    bool _getExitString(std::string& text) const;

    TSMDelegateAnswer exitDialog(const std::string& text) override;
    TSMDelegateAnswer setViewWidth(unsigned long width, unsigned long height) override;
    TSMDelegateAnswer setVisibility(bool visible) override;
    TSMDelegateAnswer setTitle(const std::string& title) override;

private:
    TSMDHTMLAlertController(const TSMDHTMLAlertController&) = delete;
    TSMDHTMLAlertController& operator=(const TSMDHTMLAlertController&) = delete;
    void windowDidLoad();
    void LoadPage(const std::string& html);
    void PumpUntilLoaded();
    static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);

    GtkWidget* mWindow;
    WebKitWebView* dhtmlView;
    std::unique_ptr<TSMDHTMLAlertData> _alertData;
    std::unique_ptr<TesmidUserInterfaceJSPublisher> mPublisher;
    std::unique_ptr<WebViewBridge> mBridge;
    bool mAborted = false;
};

#endif
