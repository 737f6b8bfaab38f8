// Sole owner of an open store session: closed (committed, closed, released) once,
// when the owner goes, by the close function of the store it was opened on.
#ifndef SCOPED_STORE_SESSION_H
#define SCOPED_STORE_SESSION_H

#include "MOQLogger.h"
#include "moxaiSession.h"

class ScopedStoreSession {
public:
    typedef int (*CloseFunction)(moxaiSession* session);

    explicit ScopedStoreSession(CloseFunction close = moxaCloseSession) : mSession(nullptr), mClose(close) {}
    ~ScopedStoreSession() { CloseOrLog("left open by its owner"); }

    // Where an open function puts the session; whatever was held is closed first.
    moxaiSession** out() {
        CloseOrLog("replaced by its owner");
        return &mSession;
    }
    moxaiSession* get() const { return mSession; }
    // Some functions take the session by reference to a pointer.
    moxaiSession*& ref() { return mSession; }
    explicit operator bool() const { return mSession != nullptr; }
    // The close function's code; 0 when nothing was open.
    [[nodiscard]] int close() {
        moxaiSession* session = mSession;
        mSession = nullptr;
        return session != nullptr ? mClose(session) : kMoxaOK;
    }

private:
    // An owner that did not close has nobody to tell of a failure: the log is told.
    void CloseOrLog(const char* how) {
        const int rc = close();
        if (rc != kMoxaOK) MOQ_LOG("A store session %s failed to close (store code %d)\n", how, rc);
    }
    ScopedStoreSession(const ScopedStoreSession&) = delete;
    ScopedStoreSession& operator=(const ScopedStoreSession&) = delete;
    moxaiSession* mSession;
    CloseFunction mClose;
};

#endif
