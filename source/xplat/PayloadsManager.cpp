#include "PayloadsManager.h"

#include <memory>

#include "ErrorCodes.h"
#include "FileSystemUtils.h"
#include "MOQLogger.h"
#include "MoxaQueries.h"
#include "NamedLock.h"
#include "PayloadAccessor.h"
#include "PayloadsManagerUtils.h"
#include "PcdStore.h"
#include "ScopedStoreSession.h"

namespace {
PayloadVerdict VerdictFor(const PayloadAccessor& accessor, bool classified, bool kept, int result, const std::string& reason) {
    const PayloadProxy::DataStore& data = *accessor.mDataStore;
    PayloadVerdict verdict;
    verdict.code = data.mKavexCode;
    verdict.productName = data.mProductName;
    verdict.productVersion = data.mProductVersion;
    verdict.parentCode = data.mParentKavexCode;
    verdict.parentName = data.mParentProductName;
    verdict.proxyPath = accessor.mProxyPath.AsUTF8String();
    verdict.result = result;
    verdict.classified = classified;
    verdict.kept = kept;
    verdict.reason = reason;
    return verdict;
}
}  // namespace

PayloadsManager* PayloadsManager::singleton = nullptr;
std::atomic<int> PayloadsManager::mErrorCode{0};
std::vector<PayloadProxy::CONPROCESS> PayloadsManager::sConflictingProcesses;
FileSystemPath PayloadsManager::mSetupXMLPath("/");
std::map<std::string, std::string> PayloadsManager::mapInstallDir;
std::map<std::string, std::string> PayloadsManager::mapZTKConfigPath;

PayloadsManager::PayloadsManager()
    : mInstallerRoot("/"), mSetupData(nullptr), mContinueInstall(true), mPrepared(false) {}

PayloadsManager::~PayloadsManager() {
    for (auto& entry : mPayloads) delete entry.second;
    ClearMediaRecords();
    delete mSetupData;
}

PayloadsManager* PayloadsManager::Instance() { return singleton; }

void PayloadsManager::Release() {
    delete singleton;
    singleton = nullptr;
    // What one session's classification found must not steer the next one's launches.
    mapInstallDir.clear();
    mapZTKConfigPath.clear();
}

bool PayloadsManager::LoadSetupXMLData() {
    CHECK_OWNER_THREAD(mMainThread);
    MOQ_LOG("Called PayloadsManager::LoadSetupXMLData called with SetupXML path as %s\n", mSetupXMLPath.AsUTF8String().c_str());
    delete mSetupData;
    mSetupData = new PayloadsManagerSetup::DataStore();
    const bool loaded = mSetupData->Load(mSetupXMLPath);
    MOQ_LOG("Returning from PayloadsManager::LoadSetupXMLData\n");
    return loaded;
}

// One loaded patch classified; the manager takes it when it was classified and is the first of its code.
void PayloadsManager::Classify(std::unique_ptr<PayloadAccessor>& owned, PayloadsManagerUtils::ClassificationReads& reads,
                               moxaiSession* config, bool haveSetup) {
    CHECK_OWNER_THREAD(mMainThread);
    PayloadAccessor* accessor = owned.get();
    const PayloadProxy::DataStore& data = *accessor->mDataStore;
    if (haveSetup && !mSetupData->mDriverCode.empty()) {
        if (data.mKavexCode == mSetupData->mDriverCode) mSessionProductName = data.mProductName;
    } else {
        mSessionProductName = data.mProductName;
    }
    sConflictingProcesses.insert(sConflictingProcesses.end(), data.mConflictingProcesses.begin(), data.mConflictingProcesses.end());
    const PayloadsManagerUtils::InstallState state =
        PayloadsManagerUtils::GetVORNPayloadInstallState(data.mParentKavexCode, data.mKavexCode, reads, config);
    const int result = state.result;
    const bool kept = state.classified && mPayloads.count(data.mKavexCode) == 0;
    mVerdicts.push_back(VerdictFor(*accessor, state.classified, kept, result, state.reason));
    if (kept) {
        switch (result) {
            case ErrorCodes::kAlreadyInstalled:
                accessor->mAlreadyInstalled = true;
                accessor->mSelected = false;
                mAlreadyInstalledCodes.push_back(data.mKavexCode);
                break;
            case ErrorCodes::kBasePayloadNotInstalled:
                accessor->mParentNotInstalled = true;
                accessor->mSelected = false;
                break;
            case ErrorCodes::kHigherPatchInstalled:
                accessor->mHigherPatchInstalled = true;
                accessor->mSelected = false;
                break;
            default:
                break;
        }
        mPayloads.insert(std::make_pair(data.mKavexCode, accessor));
        owned.release();  // the manager's now
    }
    MapErrorCodeToJSError(mProgress, result);
}

bool PayloadsManager::Initialize(FileSystemPath& installerRoot, PayloadProxyFileConstants::ProxyFileType type) {
    MOQ_LOG("Called PayloadsManager::Initialize with inInstallerRootPath: %s\n", installerRoot.AsUTF8String().c_str());
    if (singleton != nullptr) {
        MOQ_LOG("Returning from PayloadsManager::Initialize\n");
        return false;
    }
    PayloadsManager* manager = new PayloadsManager();
    singleton = manager;
    mErrorCode = 0;
    mapInstallDir.clear();
    mapZTKConfigPath.clear();
    manager->mInstallerRoot = installerRoot;

    FileSystemPath payloadsFolder(installerRoot);
    payloadsFolder.AppendUTF8Segment("extensions");
    mSetupXMLPath = installerRoot;
    mSetupXMLPath.AppendUTF8Segment("setup.xml");
    bool haveSetup = false;
    if (FileSystemUtils::Exists(mSetupXMLPath)) {
        if (!manager->LoadSetupXMLData()) {
            MOQ_LOG("Invalid Setup.xml specified, Aborting the patch install session\n");
            MapErrorCodeToJSError(manager->mProgress, 0);
            return false;
        }
        haveSetup = true;
    }

    ScopedStoreSession configSession(pcdCloseSession);
    pcdOpenSessionNoCreate(configSession.out());
    ScopedStoreSession storeSession;
    moxaiSession* config = configSession.get();
    std::vector<PayloadAccessor*> loaded;
    PayloadIteration::PathPairs failed;
    std::vector<std::string> images;
    bool restored = false;
    const int opened = moxaOpenExistingSession(storeSession.out(), &restored);
    moxaiSession* store = storeSession.get();
    if (restored) MOQ_LOG("The installed-products store was missing or empty: restored from its backup\n");
    bool ok = opened == kMoxaOK;
    if (!ok) {
        MOQ_LOG("The installed-products store cannot be opened (store code %d)\n", opened);
        PayloadsManagerUtils::SayStoreUnopened(opened);
        MapErrorCodeToJSError(manager->mProgress, ErrorCodes::kMOXADBError);
        // Held by another writer: worth another try, as another installer running is.
        if (opened == kMoxaErrBusy) mErrorCode = ErrorCodes::kAnotherInstanceRunning;
    }
    if (ok && !PayloadIteration::LoadPayloadAccessors(payloadsFolder, type, loaded, failed, images)) ok = false;
    // Owned from here on, so that nothing leaks whatever happens below.
    std::vector<std::unique_ptr<PayloadAccessor> > accessors;
    for (PayloadAccessor* accessor : loaded) accessors.emplace_back(accessor);
    if (!ok) accessors.clear();

    if (ok) {
        sConflictingProcesses.clear();
        PayloadsManagerUtils::ClassificationCache cache(store);
        for (std::unique_ptr<PayloadAccessor>& owned : accessors) {
            // Each further read would wait out the busy timeout again for nothing.
            if (moxaSessionFailure(store) != kMoxaOK) break;
            manager->Classify(owned, cache, config, haveSetup);
        }
        // Duplicates and unclassified payloads, still owned here, are never looked at again.
        // A store that answered nothing (held by another writer, unreadable) must not
        // pass for one that holds nothing: that would classify every patch wrongly.
        int failure = moxaSessionFailure(store);
        if (failure == kMoxaOK && config != nullptr) failure = moxaSessionFailure(config);
        if (failure != kMoxaOK) {
            MOQ_LOG("The stores could not be read (store code %d%s): no patch is classified\n", failure,
                    failure == kMoxaErrBusy ? ", held by another installer" : "");
            MapErrorCodeToJSError(manager->mProgress, ErrorCodes::kMOXADBError);
            if (failure == kMoxaErrBusy) mErrorCode = ErrorCodes::kAnotherInstanceRunning;
            ok = false;
        }
    }
    MOQ_LOG("Returning from PayloadsManager::Initialize\n");
    return ok;
}

bool PayloadsManager::CollectList(const char* operation, const char* heading, bool PayloadAccessor::*flag,
                                  bool withParent, std::map<std::string, std::string>& out) const {
    MOQ_LOG("Called PayloadsManager::%s\n", operation);
    MOQ_LOG("%s\n", heading);
    bool added = false;
    for (const auto& entry : mPayloads) {
        const PayloadAccessor& accessor = *entry.second;
        if (!(accessor.*flag)) continue;
        const PayloadProxy::DataStore& data = *accessor.mDataStore;
        std::string text = data.mProductName + " " + data.mProductVersion;
        if (withParent) text += " - " + data.mParentProductName;
        if (out.insert(std::make_pair(entry.first, text)).second) added = true;
        MOQ_LOG("%s\n", text.c_str());
    }
    MOQ_LOG("Returning from PayloadsManager::%s\n", operation);
    return added;
}

bool PayloadsManager::GetUpdatesList(std::map<std::string, std::string>& out) const {
    return CollectList("GetUpdatesList", "Updates Available for Install", &PayloadAccessor::mSelected, false, out);
}

bool PayloadsManager::GetAlreadyUpdatedList(std::map<std::string, std::string>& out) const {
    return CollectList("GetAlreadyUpdatedList", "Already Installed List", &PayloadAccessor::mAlreadyInstalled, false, out);
}

bool PayloadsManager::GetHigherUpdateDetectedList(std::map<std::string, std::string>& out) const {
    return CollectList("GetHigherUpdateDetectedList", "Higher Version Installed List",
                       &PayloadAccessor::mHigherPatchInstalled, false, out);
}

bool PayloadsManager::GetParentNotInstalledUpdatedList(std::map<std::string, std::string>& out) const {
    return CollectList("GetParentNotInstalledUpdatedList", "Parent Not Installed List",
                       &PayloadAccessor::mParentNotInstalled, true, out);
}

namespace {
bool CopyInto(const std::map<std::string, std::string>& from, std::map<std::string, std::string>& out) {
    bool copied = false;
    for (const auto& entry : from) {
        out.insert(entry);
        copied = true;
    }
    return copied;
}
}  // namespace

bool PayloadsManager::GetSuccessfulPayloads(std::map<std::string, std::string>& out) const {
    MutexLock guard(mRecordsMutex);
    return CopyInto(mSuccessfulPayloads, out);
}

bool PayloadsManager::GetFailedPayloads(std::map<std::string, std::string>& out) const {
    MutexLock guard(mRecordsMutex);
    return CopyInto(mFailedPayloads, out);
}

std::vector<PlanEntry> PayloadsManager::Plan() const {
    MutexLock guard(mRecordsMutex);
    return mPlan;
}

std::vector<LaunchRecord> PayloadsManager::Launches() const {
    MutexLock guard(mRecordsMutex);
    return mLaunches;
}

std::vector<HeldEntry> PayloadsManager::HeldEntries() const {
    MutexLock guard(mRecordsMutex);
    return mHeldEntries;
}

void PayloadsManager::NoteMovedInstallation(const std::string& base, const std::string& media, const std::string& folder,
                                            const std::string& configPath) {
    mapInstallDir.insert(std::make_pair(base, folder));
    mapInstallDir.insert(std::make_pair(media, folder));
    mapZTKConfigPath.insert(std::make_pair(media, configPath));
}

void PayloadsManager::RequirePreparation() {
    CHECK_OWNER_THREAD(mMainThread);
    mPrepared = false;
}

void PayloadsManager::SetSetupTimeout(unsigned seconds) {
    CHECK_OWNER_THREAD(mMainThread);
    mSetupTimeoutSeconds = seconds;
}

void PayloadsManager::SetSurvey(std::shared_ptr<PreInstallSurvey> survey) {
    CHECK_OWNER_THREAD(mMainThread);
    mSurvey = std::move(survey);
}

bool PayloadsManager::IsHidden(const std::string& code) const {
    if (mSetupData == nullptr) return false;
    const auto display = mSetupData->mDisplayByCode.find(code);
    return display != mSetupData->mDisplayByCode.end() && display->second == "none";
}

bool PayloadsManager::GetHiddenPayloadList(std::vector<std::string>& out) const {
    MOQ_LOG("Called PayloadsManager::GetHiddenPayloadList\n");
    MOQ_LOG("Updates Available for Install\n");
    if (mSetupData != nullptr) {
        for (const auto& entry : mSetupData->mDisplayByCode) {
            if (entry.second == "none") out.push_back(entry.first);
        }
    }
    MOQ_LOG("Returning from PayloadsManager::GetHiddenPayloadList\n");
    return false;
}
