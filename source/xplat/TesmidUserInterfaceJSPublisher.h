// The native methods that the wizard's pages call.
#ifndef TESMID_USER_INTERFACE_JS_PUBLISHER_H
#define TESMID_USER_INTERFACE_JS_PUBLISHER_H

#include <map>
#include <string>
#include <vector>

#include "JSMethodPublisher.h"
#include "TSMTesmidUIDelegateProtocol.h"

class InstallerEngine;

class TesmidUserInterfaceJSPublisher : public JSMethodPublisher<TesmidUserInterfaceJSPublisher> {
public:
    struct PlatformData {
        TSMTesmidUIDelegateProtocol* delegate = nullptr;  // the window controller; not owned
    };

    explicit TesmidUserInterfaceJSPublisher(InstallerEngine* engine);
    ~TesmidUserInterfaceJSPublisher() override;
    void SetDelegate(TSMTesmidUIDelegateProtocol* delegate) { mPlatformData->delegate = delegate; }

    typedef std::vector<std::string> Args;
    std::string UIResizeWindow(const Args& args);
    std::string UIShowWindow(const Args& args);
    std::string GetStringsForLanguage(const Args& args);
    std::string UISetWindowTitle(const Args& args);
    std::string UISetCloseBoxEnabled(const Args& args);
    std::string UIExitDialog(const Args& args);
    std::string UIGetUpdatesStatusMap(const Args& args);
    std::string UIGetAlreadyUpdatedStatusMap(const Args& args);
    std::string UIGetParentNotInstalledUpdatesStatusMap(const Args& args);
    std::string UIGetProgress(const Args& args);
    std::string UICancelUpdate(const Args& args);
    std::string UIStartInstall(const Args& args);
    std::string GetDefaultProperties(const Args& args);
    std::string LoadFile(const Args& args);
    std::string UIShowModalAlert(const Args& args);
    std::string GetConflictingProcessList(const Args& args);
    std::string CheckForDiskSpace(const Args& args);
    std::string UIGetSuccessPayloadsMap(const Args& args);
    std::string UIGetFailedPayloadsMap(const Args& args);
    std::string UIGetHigherUpdateDetectedStatusMap(const Args& args);
    std::string UIGetInitialErrors(const Args& args);
    std::string UIStartPayloadInitialize(const Args& args);
    std::string UIGetPayloadProgress(const Args& args);
    std::string FileExists(const Args& args);
    std::string AcquireSetupLock(const Args& args);
    // Sizes (TotalSize, bytes) of the updates that can be installed.
    std::string UIGetUpdateSizes(const Args& args);
    // The manager's localized message for the session's code, and where the session log is.
    std::string UIGetErrorText(const Args& args);
    // Whether the bundle is signed: {"signature": "valid"|"invalid"|"unsigned", "keyId": ...}.
    std::string UIGetBundleSignature(const Args& args);
    // Per patch of the session: installed everywhere, in some installations, failed or
    // not started, with the installations that remain and the cause of a failure.
    std::string UIGetInstallOutcome(const Args& args);
    // Which installer of the family holds a lock that stands in the way: name and pid.
    std::string UIGetLockHolder(const Args& args);
    // Puts the text on the clipboard (the failure's details).
    std::string UICopyText(const Args& args);

private:
    TesmidUserInterfaceJSPublisher(const TesmidUserInterfaceJSPublisher&) = delete;
    TesmidUserInterfaceJSPublisher& operator=(const TesmidUserInterfaceJSPublisher&) = delete;
    enum StatusList { kUpdates, kAlreadyUpdated, kParentNotInstalled, kHigherUpdate };
    // The window's side of the page, once the wizard has set one; null before.
    TSMTesmidUIDelegateProtocol* Delegate() const;
    std::string StatusMap(const char* name, const Args& args, StatusList list);
    std::string SessionMap(const char* name, const Args& args, bool successful);

    InstallerEngine* mEngine;
    PlatformData* mPlatformData;
};

// "installSourcePath", "platform", "productName" and "defaultLanguage"; false without an engine.
bool GetDefaultPropertiesMap(InstallerEngine* engine, std::map<std::string, std::string>& properties);

namespace VORNConstants {
const char* const kPropSourcePath = "installSourcePath";
const char* const kPropDefaultLanguage = "defaultLanguage";
}  // namespace VORNConstants

#endif
