// What a window controller offers to the page's methods. A controller overrides
// the operations it supports; the others answer "not implemented", which the
// methods treat as a failure.
#ifndef TSM_TESMID_UI_DELEGATE_PROTOCOL_H
#define TSM_TESMID_UI_DELEGATE_PROTOCOL_H

#include <string>

enum TSMDelegateAnswer { kTSMNotImplemented = -1, kTSMNo = 0, kTSMYes = 1 };

class TSMTesmidUIDelegateProtocol {
public:
    virtual ~TSMTesmidUIDelegateProtocol() {}
    virtual TSMDelegateAnswer exitDialog(const std::string&) { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer setTitle(const std::string&) { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer setVisibility(bool) { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer setViewWidth(unsigned long, unsigned long) { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer setCloseBoxEnabled(bool) { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer onUpdate() { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer onInitializePM() { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer onCancel() { return kTSMNotImplemented; }
    virtual TSMDelegateAnswer copyText(const std::string&) { return kTSMNotImplemented; }
};

#endif
