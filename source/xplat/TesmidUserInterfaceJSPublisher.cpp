#include "BundleVerifier.h"
#include "TesmidUserInterfaceJSPublisher.h"

#include <stdlib.h>

#include <algorithm>

#include "DHTMLAlertController.h"
#include "ErrorCodes.h"
#include "FileSystemUtils.h"
#include "FileSystemVolume.h"
#include "InstallerEngine.h"
#include "JSONUtilities.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"
#include "NamedLockProbe.h"
#include "PayloadAccessor.h"
#include "PayloadsManager.h"
#include "RegularFile.h"
#include "TesmidConstants.h"
#include "XMLParserNative.h"

using namespace TesmidJSPublisherUtilities;
using JSONUtilities::JSONObject;

namespace {

// Entry and exit lines around one method; the result is decided in the body.
class MethodLog {
public:
    MethodLog(const char* name, bool enabled) : mName(name), mEnabled(enabled) {
        if (mEnabled) MOQ_LOG("Called TesmidUserInterfaceJSPublisher::%s\n", mName);
    }
    ~MethodLog() {
        if (mEnabled) MOQ_LOG("Returning from TesmidUserInterfaceJSPublisher::%s\n", mName);
    }
    void Caught() const { MOQ_LOG("Caught an exception in TesmidUserInterfaceJSPublisher::%s\n", mName); }

private:
    const char* mName;
    bool mEnabled;
};

std::string Error(JSResult code) { return MakeJSONErrorObj(code, std::map<std::string, std::string>()); }

std::string ObjectOf(const std::map<std::string, std::string>& properties) {
    JSONObject object;
    object.AddPropertyMap(properties);
    return object.ToString();
}

// Whatever goes wrong inside a method, the page gets an error object and the log says where.
template <typename Body>
std::string Guarded(const MethodLog& log, Body body) {
    try {
        return body();
    } catch (...) {
        log.Caught();
        return Error(kJSResultFailed);
    }
}

// The delegate's answer as success; a missing delegate or operation is a failure.
bool Succeeded(TSMDelegateAnswer answer) { return answer == kTSMYes; }
bool Implemented(TSMDelegateAnswer answer) { return answer != kTSMNotImplemented; }

}  // namespace

TesmidUserInterfaceJSPublisher::TesmidUserInterfaceJSPublisher(InstallerEngine* engine)
    : mEngine(engine), mPlatformData(new PlatformData()) {
    typedef TesmidUserInterfaceJSPublisher P;
    RegisterJSMemberMethod("UIResizeWindow", &P::UIResizeWindow);
    RegisterJSMemberMethod("UIShowWindow", &P::UIShowWindow);
    RegisterJSMemberMethod("GetStringsForLanguage", &P::GetStringsForLanguage);
    RegisterJSMemberMethod("UISetWindowTitle", &P::UISetWindowTitle);
    RegisterJSMemberMethod("UISetCloseBoxEnabled", &P::UISetCloseBoxEnabled);
    RegisterJSMemberMethod("UIExitDialog", &P::UIExitDialog);
    RegisterJSMemberMethod("UIGetUpdatesStatusMap", &P::UIGetUpdatesStatusMap);
    RegisterJSMemberMethod("UIGetAlreadyUpdatedStatusMap", &P::UIGetAlreadyUpdatedStatusMap);
    RegisterJSMemberMethod("UIGetParentNotInstalledUpdatesStatusMap", &P::UIGetParentNotInstalledUpdatesStatusMap);
    RegisterJSMemberMethod("UIGetProgress", &P::UIGetProgress);
    RegisterJSMemberMethod("UICancelUpdate", &P::UICancelUpdate);
    RegisterJSMemberMethod("UIStartInstall", &P::UIStartInstall);
    RegisterJSMemberMethod("GetDefaultProperties", &P::GetDefaultProperties);
    RegisterJSMemberMethod("LoadFile", &P::LoadFile);
    RegisterJSMemberMethod("UIShowModalAlert", &P::UIShowModalAlert);
    RegisterJSMemberMethod("GetConflictingProcessList", &P::GetConflictingProcessList);
    RegisterJSMemberMethod("CheckForDiskSpace", &P::CheckForDiskSpace);
    RegisterJSMemberMethod("UIGetSuccessPayloadsMap", &P::UIGetSuccessPayloadsMap);
    RegisterJSMemberMethod("UIGetFailedPayloadsMap", &P::UIGetFailedPayloadsMap);
    RegisterJSMemberMethod("UIGetHigherUpdateDetectedStatusMap", &P::UIGetHigherUpdateDetectedStatusMap);
    RegisterJSMemberMethod("UIGetInitialErrors", &P::UIGetInitialErrors);
    RegisterJSMemberMethod("UIStartPayloadInitialize", &P::UIStartPayloadInitialize);
    RegisterJSMemberMethod("UIGetPayloadProgress", &P::UIGetPayloadProgress);
    RegisterJSMemberMethod("FileExists", &P::FileExists);
    RegisterJSMemberMethod("AcquireSetupLock", &P::AcquireSetupLock);
    RegisterJSMemberMethod("UIGetUpdateSizes", &P::UIGetUpdateSizes);
    RegisterJSMemberMethod("UIGetErrorText", &P::UIGetErrorText);
    RegisterJSMemberMethod("UIGetBundleSignature", &P::UIGetBundleSignature);
    RegisterJSMemberMethod("UIGetInstallOutcome", &P::UIGetInstallOutcome);
    RegisterJSMemberMethod("UIGetLockHolder", &P::UIGetLockHolder);
    RegisterJSMemberMethod("UICopyText", &P::UICopyText);
}

TesmidUserInterfaceJSPublisher::~TesmidUserInterfaceJSPublisher() { delete mPlatformData; }

TSMTesmidUIDelegateProtocol* TesmidUserInterfaceJSPublisher::Delegate() const {
    return mPlatformData != nullptr ? mPlatformData->delegate : nullptr;
}

std::string TesmidUserInterfaceJSPublisher::UIResizeWindow(const Args& args) {
    MethodLog log("UIResizeWindow", true);
    if (args.size() != 2) return Error(kJSResultBadArgCount);
    const int width = atoi(args[0].c_str()), height = atoi(args[1].c_str());
    if (width == 0 || height == 0) return Error(kJSResultBadArg);
    TSMTesmidUIDelegateProtocol* delegate = Delegate();
    if (delegate == nullptr || !Succeeded(delegate->setViewWidth(static_cast<unsigned long>(width), static_cast<unsigned long>(height)))) {
        return Error(kJSResultFailed);
    }
    return "";
}

std::string TesmidUserInterfaceJSPublisher::UIShowWindow(const Args& args) {
    if (args.size() != 1) return Error(kJSResultBadArgCount);
    TSMTesmidUIDelegateProtocol* delegate = Delegate();
    if (delegate == nullptr || !Succeeded(delegate->setVisibility(atoi(args[0].c_str()) != 0))) return Error(kJSResultFailed);
    return "";
}

std::string TesmidUserInterfaceJSPublisher::GetStringsForLanguage(const Args& args) {
    MethodLog log("GetStringsForLanguage", true);
    std::string language = args.empty() ? std::string() : args[0];
    if (mEngine == nullptr) return Error(kJSResultFailed);
    FileSystemPath file(mEngine->mBundleFolder);
    file.AppendUTF8Segment("resources").AppendUTF8Segment("main.xml");
    if (!FileSystemUtils::Exists(file)) return Error(kJSResultFailed);
    std::map<std::string, std::string> strings;
    XMLParserNative reader(file.AsNative());
    bool found = reader.FetchLanguageStrings(strings, language) && !strings.empty();
    // A locale without strings of its own (fr_CA) speaks its interface language (fr_FR).
    std::string uiLanguage = LocalizationUtilities::GetUILanguageForLanguage(language);
    const bool known = uiLanguage != "en_US" || language.compare(0, 3, "en_") == 0;
    if (!found && known && uiLanguage != language) found = reader.FetchLanguageStrings(strings, uiLanguage);
    if (!found) return Error(kJSResultFailed);
    return ObjectOf(strings);
}

std::string TesmidUserInterfaceJSPublisher::UISetWindowTitle(const Args& args) {
    MethodLog log("UISetWindowTitle", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Implemented(delegate->setTitle(args[0]))) return Error(kJSResultFailed);
        return "";
    });
}

std::string TesmidUserInterfaceJSPublisher::UISetCloseBoxEnabled(const Args& args) {
    MethodLog log("UISetCloseBoxEnabled", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Implemented(delegate->setCloseBoxEnabled(atoi(args[0].c_str()) != 0))) {
            return Error(kJSResultFailed);
        }
        return "";
    });
}

std::string TesmidUserInterfaceJSPublisher::UIExitDialog(const Args& args) {
    MethodLog log("UIExitDialog", true);
    TSMTesmidUIDelegateProtocol* delegate = Delegate();
    if (delegate == nullptr || !Succeeded(delegate->exitDialog(args.empty() ? std::string() : args[0]))) {
        return Error(kJSResultFailed);
    }
    return "";
}

std::string TesmidUserInterfaceJSPublisher::StatusMap(const char* name, const Args& args, StatusList list) {
    MethodLog log(name, true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    if (Delegate() == nullptr || manager == nullptr) return Error(kJSResultFailed);
    std::vector<std::string> hidden;
    manager->GetHiddenPayloadList(hidden);
    std::map<std::string, std::string> entries;
    bool answer = false;
    switch (list) {
        case kUpdates: answer = manager->GetUpdatesList(entries); break;
        case kAlreadyUpdated: answer = manager->GetAlreadyUpdatedList(entries); break;
        case kParentNotInstalled: answer = manager->GetParentNotInstalledUpdatedList(entries); break;
        case kHigherUpdate: answer = manager->GetHigherUpdateDetectedList(entries); break;
    }
    for (const std::string& code : hidden) entries.erase(code);
    return answer ? ObjectOf(entries) : Error(kJSResultFailed);
}

std::string TesmidUserInterfaceJSPublisher::SessionMap(const char* name, const Args& args, bool successful) {
    MethodLog log(name, true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    if (manager == nullptr) return Error(kJSResultFailed);
    std::map<std::string, std::string> entries;
    const bool answer = successful ? manager->GetSuccessfulPayloads(entries) : manager->GetFailedPayloads(entries);
    return answer ? ObjectOf(entries) : Error(kJSResultFailed);
}

std::string TesmidUserInterfaceJSPublisher::UIGetUpdatesStatusMap(const Args& args) {
    return StatusMap("UIGetUpdatesStatusMap", args, kUpdates);
}

std::string TesmidUserInterfaceJSPublisher::UIGetAlreadyUpdatedStatusMap(const Args& args) {
    return StatusMap("UIGetAlreadyUpdatedStatusMap", args, kAlreadyUpdated);
}

std::string TesmidUserInterfaceJSPublisher::UIGetParentNotInstalledUpdatesStatusMap(const Args& args) {
    return StatusMap("UIGetParentNotInstalledUpdatesStatusMap", args, kParentNotInstalled);
}

std::string TesmidUserInterfaceJSPublisher::UIGetHigherUpdateDetectedStatusMap(const Args& args) {
    return StatusMap("UIGetHigherUpdateDetectedStatusMap", args, kHigherUpdate);
}

std::string TesmidUserInterfaceJSPublisher::UIGetSuccessPayloadsMap(const Args& args) {
    return SessionMap("UIGetSuccessPayloadsMap", args, true);
}

std::string TesmidUserInterfaceJSPublisher::UIGetFailedPayloadsMap(const Args& args) {
    return SessionMap("UIGetFailedPayloadsMap", args, false);
}

std::string TesmidUserInterfaceJSPublisher::UIGetProgress(const Args&) {
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    // One copy under the record's lock: all five fields come from one update.
    const ProgressResult progress = manager != nullptr ? manager->Progress().Snapshot() : ProgressResult();
    JSONObject object;
    JSONObject* inner = object.AddObject("Progress");
    inner->AddProperty<int>("percentage", progress.mPercent);
    inner->AddProperty<std::string>("curPayload", progress.mTitle);
    object.AddProperty<std::string>(kErrorPropertyName, progress.mErrorName);
    object.AddProperty<std::string>("_blockProcList", progress.BlockingProcessList());
    object.AddProperty<std::string>("_warnProcList", progress.WarningProcessList());
    // What the page needs to say "1 of 2" and that a stop was asked for.
    object.AddProperty<int>("_step", progress.mStep);
    object.AddProperty<int>("_steps", progress.mSteps);
    // Which installation the running setup patches: one patch may go into several.
    object.AddProperty<std::string>("_product", progress.mProduct);
    object.AddProperty<std::string>("_folder", progress.mShownFolder);
    object.AddProperty<std::string>("_stopping", manager != nullptr && !manager->ContinueInstall() ? "1" : "0");
    // The user is being asked whether to stop: nothing new starts until the answer.
    object.AddProperty<std::string>("_asking", manager != nullptr && manager->Gate().Held() ? "1" : "0");
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UICancelUpdate(const Args& args) {
    MethodLog log("UICancelUpdate", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Implemented(delegate->onCancel())) return Error(kJSResultFailed);
        return "";
    });
}

std::string TesmidUserInterfaceJSPublisher::UIStartInstall(const Args& args) {
    MethodLog log("UIStartInstall", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Implemented(delegate->onUpdate())) return Error(kJSResultFailed);
        return "";
    });
}

bool GetDefaultPropertiesMap(InstallerEngine* engine, std::map<std::string, std::string>& properties) {
    MOQ_LOG("Called TesmidUserInterfaceJSPublisher::GetDefaultPropertiesMap\n");
    properties.clear();
    bool ok = engine != nullptr;
    if (ok) {
        properties[VORNConstants::kPropSourcePath] = engine->mBundleFolder.AsUTF8String();
        properties["platform"] = PayloadProxyFileConstants::kPlatformCurrent;
        PayloadsManager* manager = engine->GetPayloadsManager();
        properties["productName"] = manager != nullptr ? manager->SessionProductName() : std::string();
        std::string language;
        if (LocalizationUtilities::GetUserInterfaceLanguage(language)) properties[VORNConstants::kPropDefaultLanguage] = language;
    }
    MOQ_LOG("Returning from TesmidUserInterfaceJSPublisher::GetDefaultPropertiesMap\n");
    return ok;
}

std::string TesmidUserInterfaceJSPublisher::GetDefaultProperties(const Args& args) {
    MethodLog log("GetDefaultProperties", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    std::map<std::string, std::string> properties;
    if (!GetDefaultPropertiesMap(mEngine, properties)) return Error(kJSResultFailed);
    return ObjectOf(properties);
}

std::string TesmidUserInterfaceJSPublisher::LoadFile(const Args& args) {
    MethodLog log("LoadFile", true);
    if (args.size() != 1) return Error(kJSResultBadArgCount);
    if (mEngine == nullptr) return Error(kJSResultFailed);
    // Root shows the page on a user's display: it reads the page's own files and nothing
    // else, named below resources/ (or by their full path there), never through a link.
    const std::string resources = mEngine->mBundleFolder.AsNative() + "/resources";
    std::string relative = args[0];
    if (relative.compare(0, resources.size() + 1, resources + "/") == 0) relative = relative.substr(resources.size() + 1);
    std::string contents;
    const RegularFile::Outcome outcome = RegularFile::ReadBelow(resources, relative, contents);
    if (outcome == RegularFile::kMissing) return Error(kJSResultFileNotFound);
    if (outcome != RegularFile::kRead) return Error(kJSResultFailed);
    JSONObject object;
    object.AddProperty<std::string>("data", contents);
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIShowModalAlert(const Args& args) {
    MethodLog log("UIShowModalAlert", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        DHTMLAlertController* controller = DHTMLAlertController::Shared();
        std::string result;
        if (controller == nullptr || !controller->showDHTMLAlert(args[0], result)) return Error(kJSResultFailed);
        JSONObject object;
        object.AddProperty<std::string>("returnValue", result);
        return object.ToString();
    });
}

std::string TesmidUserInterfaceJSPublisher::GetConflictingProcessList(const Args& args) {
    MethodLog log("GetConflictingProcessList", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    std::string blocking, warning;
    if (!PayloadsManager::IsConflictingProcess(PayloadsManager::ConflictingProcesses(), blocking, warning)) return Error(kJSResultFailed);
    JSONObject object;
    object.AddProperty<std::string>("_blockProcList", blocking);
    object.AddProperty<std::string>("_warnProcList", warning);
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::CheckForDiskSpace(const Args& args) {
    MethodLog log("CheckForDiskSpace", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    std::string required, volume;
    if (manager == nullptr || !manager->GetDiskSpaceIfNeeded(required, volume)) return Error(kJSResultFailed);
    JSONObject object;
    object.AddProperty<std::string>("spaceReq", required);
    object.AddProperty<std::string>("volume", volume);
    object.AddProperty<std::string>(kErrorPropertyName, "kNotEnoughDiskSpace");
    // The volume by its mount point, what the plan puts there, and what it has free now.
    for (const auto& entry : manager->PlannedBytesPerVolume()) {
        FileSystemPath root(entry.first);
        if (manager->IsDiskSpaceAvailable(root, entry.second)) continue;
        object.AddProperty<std::string>("mountPoint", entry.first);
        object.AddProperty<std::string>("plannedMB", std::to_string(entry.second / 1048576));
        uint64_t free = 0;
        const std::optional<FileSystemVolume> candidate = FileSystemVolume::Make(root);
        if (candidate && candidate->FreeSpaceInBytes(free)) object.AddProperty<std::string>("spaceFree", std::to_string(free / 1048576));
        // The sum explained: what each installation on that volume takes.
        const std::vector<PlanEntry> plan = manager->Plan();
        JSONObject* parts = object.AddObject("parts");
        for (size_t i = 0; i < plan.size(); ++i) {
            const std::optional<FileSystemPath> folder = FileSystemPath::Make(plan[i].installFolder);
            const std::optional<FileSystemVolume> volume = folder ? FileSystemVolume::Make(*folder) : std::nullopt;
            FileSystemPath holder;
            if (!volume || !volume->RootPath(holder) || holder.AsUTF8String() != entry.first) continue;
            JSONObject* part = parts->AddObject("i" + std::to_string(1000 + i));
            part->AddProperty<std::string>("name", plan[i].displayName);
            part->AddProperty<std::string>("product", plan[i].product);
            std::vector<std::string> alike;
            size_t at = 0;
            for (size_t j = 0; j < plan.size(); ++j) {
                if (j == i) at = alike.size();
                if (plan[j].code == plan[i].code) alike.push_back(plan[j].installFolder);
            }
            part->AddProperty<std::string>("folder", PatchOutcome::ShownFolders(alike)[at]);
            part->AddProperty<std::string>("bytes", std::to_string(plan[i].size));
        }
        break;
    }
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIGetInitialErrors(const Args&) {
    MethodLog log("UIGetInitialErrors", true);
    return Guarded(log, [&]() -> std::string {
        // The wizard runs with administrator rights once it has relaunched itself.
        const bool isAdmin = true;
        MOQ_LOG("Called TesmidUserInterfaceJSPublisher::UIGetInitialErrors IsAdmin=%s\n", isAdmin ? "YES" : "NO");
        JSONObject object;
        object.AddProperty<std::string>(kErrorPropertyName, isAdmin ? "1" : "0");
        return object.ToString();
    });
}

std::string TesmidUserInterfaceJSPublisher::UIStartPayloadInitialize(const Args&) {
    MethodLog log("UIStartPayloadInitialize", true);
    return Guarded(log, [&]() -> std::string {
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Implemented(delegate->onInitializePM())) return Error(kJSResultFailed);
        return "";
    });
}

std::string TesmidUserInterfaceJSPublisher::UIGetPayloadProgress(const Args&) {
    MethodLog log("UIGetPayloadProgress", false);
    return Guarded(log, [&]() -> std::string {
        PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
        if (manager == nullptr || !manager->Prepared()) return Error(kJSResultFailed);
        JSONObject object;
        object.AddProperty<std::string>(kErrorPropertyName, "DONE");
        return object.ToString();
    });
}

std::string TesmidUserInterfaceJSPublisher::FileExists(const Args& args) {
    MethodLog log("FileExists", true);
    const std::string text = args.empty() ? std::string() : args[0];
    bool exists = false;
    if (const std::optional<FileSystemPath> path = FileSystemPath::Make(text)) exists = FileSystemUtils::Exists(*path);
    JSONObject object;
    object.AddProperty<std::string>("banner", exists ? "1" : "0");
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::AcquireSetupLock(const Args& args) {
    MethodLog log("AcquireSetupLock", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    JSONObject object;
    object.AddProperty<std::string>("setupLocked", PayloadsManager::AcquireSetupLock() ? "1" : "0");
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIGetUpdateSizes(const Args& args) {
    MethodLog log("UIGetUpdateSizes", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    if (manager == nullptr) return Error(kJSResultFailed);
    std::map<std::string, std::string> sizes;
    for (auto entry = manager->Payloads().begin(); entry != manager->Payloads().end(); ++entry) {
        if (entry->second->mSelected) sizes.insert(std::make_pair(entry->first, entry->second->mDataStore->mTotalSize));
    }
    return ObjectOf(sizes);
}

std::string TesmidUserInterfaceJSPublisher::UIGetErrorText(const Args& args) {
    MethodLog log("UIGetErrorText", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    std::map<std::string, std::string> dictionary;
    if (manager == nullptr || !LocalizationUtilities::GetDictionaryForLanguage(mEngine, dictionary)) return Error(kJSResultFailed);
    // The session's code, with its failed installations counted, picks the message.
    PayloadsManager::GetErrorCode();
    JSONObject object;
    object.AddProperty<std::string>("message", manager->GetLocalizedErrorString(dictionary));
    object.AddProperty<std::string>("logPath", kMOQLogFilePath);
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIGetBundleSignature(const Args& args) {
    MethodLog log("UIGetBundleSignature", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    // The engine looks at the bundle before any window opens.
    const BundleVerifier::Verdict* verdict = BundleVerifier::RunVerdict();
    JSONObject object;
    object.AddProperty<std::string>("signature", verdict != nullptr ? verdict->Name() : "unsigned");
    object.AddProperty<std::string>("keyId", verdict != nullptr ? verdict->keyId : std::string());
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIGetInstallOutcome(const Args& args) {
    MethodLog log("UIGetInstallOutcome", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    if (manager == nullptr) return Error(kJSResultFailed);
    auto joined = [](const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& name : names) text += (text.empty() ? "" : "\n") + name;
        return text;
    };
    JSONObject object;
    int index = 0;
    for (const PatchOutcome& outcome : manager->Outcomes()) {
        // Keys keep the plan's order once the page sorts them as text.
        std::string key = std::to_string(index++);
        key.insert(0, 4 - std::min<size_t>(4, key.size()), '0');
        JSONObject* entry = object.AddObject(key);
        entry->AddProperty<std::string>("code", outcome.code);
        entry->AddProperty<std::string>("name", outcome.displayName);
        entry->AddProperty<std::string>("state", outcome.State());
        entry->AddProperty<int>("installedIn", static_cast<int>(outcome.installed.size()));
        entry->AddProperty<int>("installations", outcome.planned);
        std::vector<std::string> remaining = outcome.failed;
        remaining.insert(remaining.end(), outcome.notStarted.begin(), outcome.notStarted.end());
        entry->AddProperty<std::string>("remaining", joined(remaining));
        // Each installation as the page names it; the session only for the copied details.
        JSONObject* installations = entry->AddObject("places");
        int at = 0;
        for (const PatchOutcome::Installation& installation : outcome.installations) {
            JSONObject* one = installations->AddObject("i" + std::to_string(1000 + at++));
            one->AddProperty<std::string>("product", installation.product);
            one->AddProperty<std::string>("folder", installation.shownFolder);
            one->AddProperty<std::string>("fullFolder", installation.folder);
            one->AddProperty<std::string>("session", installation.sessionID);
            one->AddProperty<std::string>("state", installation.state);
            one->AddProperty<std::string>("earlier", installation.earlier ? "1" : "0");
        }
        if (!outcome.hasFailure) continue;
        const LaunchRecord& launch = outcome.firstFailure;
        // What failed, in the terms the page words for the user.
        const char* cause = outcome.planned == 0                        ? "noInstallation"
                            : !launch.launched && launch.result == ErrorCodes::kAnotherInstanceRunning ? "setupBusy"
                            : !launch.launched                          ? "notLaunched"
                            : launch.signal != 0                        ? "signal"
                            : launch.exitStatus >= 0                    ? "status"
                                                                        : "notLaunched";
        entry->AddProperty<std::string>("cause", cause);
        entry->AddProperty<int>("exitStatus", launch.exitStatus);
        entry->AddProperty<int>("signal", launch.signal);
        // Only an undo that completed (or nothing copied) leaves the product as it was.
        entry->AddProperty<std::string>("unchanged", (!launch.launched && !launch.undoPending) || launch.rolledBack ? "1" : "0");
        entry->AddProperty<std::string>("undoPending", launch.undoPending ? "1" : "0");
        entry->AddProperty<std::string>("where", outcome.failed.empty() ? std::string() : outcome.failed.front());
    }
    return object.ToString();
}

std::string TesmidUserInterfaceJSPublisher::UIGetLockHolder(const Args& args) {
    MethodLog log("UIGetLockHolder", true);
    if (!args.empty()) return Error(kJSResultBadArgCount);
    PayloadsManager* manager = mEngine != nullptr ? mEngine->GetPayloadsManager() : nullptr;
    const bool ownPatchLock = manager != nullptr && manager->HoldsPatchLock();
    JSONObject object;
    for (const char* name : {TesmidConstants::kSetupLockName, TesmidConstants::kBootstrapperLockName, TesmidConstants::kPatchLockName}) {
        // Our own hold is no other installer.
        if (ownPatchLock && std::string(name) == TesmidConstants::kPatchLockName) continue;
        const NamedLockProbe probe = NamedLockProbe::Probe(name);
        if (probe.state != NamedLockProbe::kBusy) continue;
        object.AddProperty<std::string>("lock", name);
        object.AddProperty<std::string>("holderName", probe.holderName);
        object.AddProperty<std::string>("holderPid", probe.holderPid > 0 ? std::to_string(probe.holderPid) : std::string());
        return object.ToString();
    }
    return Error(kJSResultFailed);
}

std::string TesmidUserInterfaceJSPublisher::UICopyText(const Args& args) {
    MethodLog log("UICopyText", true);
    return Guarded(log, [&]() -> std::string {
        if (args.size() != 1) return Error(kJSResultBadArgCount);
        if (args[0].empty()) return Error(kJSResultBadArg);
        TSMTesmidUIDelegateProtocol* delegate = Delegate();
        if (delegate == nullptr || !Succeeded(delegate->copyText(args[0]))) return Error(kJSResultFailed);
        return "";
    });
}
