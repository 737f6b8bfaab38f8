// The modal HTML alert, as the page's methods see it; the alert window implements it.
#ifndef DHTML_ALERT_CONTROLLER_H
#define DHTML_ALERT_CONTROLLER_H

#include <functional>
#include <memory>
#include <string>

class DHTMLAlertController {
public:
    virtual ~DHTMLAlertController() {}
    // Shows the HTML modally and waits; false at once when an alert is already showing.
    virtual bool showDHTMLAlert(const std::string& html, std::string& result) = 0;

    // The one controller of the process, made on first use by the installed maker.
    static DHTMLAlertController* Shared();
    typedef std::function<std::unique_ptr<DHTMLAlertController>()> Maker;
    static void SetMaker(Maker maker);  // before the first use
};

#endif
