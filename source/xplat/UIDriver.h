// Base of the drivers that carry one session for the engine.
#ifndef UI_DRIVER_H
#define UI_DRIVER_H

#include <cstdint>
#include <string>

class InstallerEngine;

class UIDriver {
public:
    explicit UIDriver(InstallerEngine& engine) : mEngine(engine), mErrorCode(0) {}
    virtual ~UIDriver() {}
    virtual bool HasSufficientCredentials() { return true; }
    virtual bool Run() { return true; }
    virtual bool Alert(const std::string&, const std::string&, const std::string&) { return false; }

    int32_t GetErrorCode() const { return mErrorCode; }

protected:
    InstallerEngine& mEngine;
    int32_t mErrorCode;

private:
    UIDriver(const UIDriver&) = delete;
    UIDriver& operator=(const UIDriver&) = delete;
};

#endif
