#include "UIDriverSilent.h"

#include <unistd.h>

#include <map>

#include "ErrorCodes.h"
#include "InstallerEngine.h"
#include "PayloadsManager.h"

bool UIDriverSilent::HasSufficientCredentials() { return geteuid() == 0; }

bool UIDriverSilent::Run() {
    static bool isSetupLockAcquired = false;
    int status = 2;
    PayloadsManager* manager = mEngine.GetPayloadsManager();
    if (manager == nullptr) {
        // Never report success for a session that could not even look at its patches.
        mErrorCode = PayloadsManager::InitializationFailureCode();
        // A store held by another writer may be free on a retry: read it afresh then.
        if (mErrorCode == ErrorCodes::kAnotherInstanceRunning) PayloadsManager::Release();
        return false;
    }
    if (!isSetupLockAcquired) {
        if (!PayloadsManager::AcquireSetupLock()) {
            // Not the overall code: an already-installed patch would turn this into success.
            mErrorCode = ErrorCodes::kAnotherInstanceRunning;
            return false;
        }
        isSetupLockAcquired = true;
    }
    manager->RequirePreparation();
    std::map<std::string, std::string> updates;
    manager->GetUpdatesList(updates);
    if (!(PayloadsManager::GetErrorCode() != 0 && updates.empty())) {
        std::string blocking, warning;
        PayloadsManager::IsConflictingProcess(PayloadsManager::ConflictingProcesses(), blocking, warning);
        if (!blocking.empty()) {
            mErrorCode = ErrorCodes::kConflictingProcessRunning;
            return false;
        }
        manager->InstallPayload(&mEngine, true, true);
        const int code = PayloadsManager::GetErrorCode();
        if (code == ErrorCodes::kNotEnoughDiskSpace || updates.empty()) {
            mErrorCode = code;
            status = 2;
        } else {
            std::map<std::string, int> results;
            status = manager->ProcessPayloads(&mEngine, results);
            if (status == 0) status = PayloadsManager::CheckOptionalPayloadFailure();
        }
        if (status == 0) return true;
    }
    mErrorCode = PayloadsManager::GetErrorCode();
    return false;
}
