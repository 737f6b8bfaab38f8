// The installation plan and the launches of the cached main setups.
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "ErrorCodes.h"
#include "FileSystemUtils.h"
#include "FolderResolver.h"
#include "MOQLogger.h"
#include "MainSetupCommand.h"
#include "MoxaQueries.h"
#include "PayloadAccessor.h"
#include "PayloadsManager.h"
#include "PayloadsManagerUtils.h"
#include "PrivilegedExecution.h"
#include "ScopedStoreSession.h"
#include "SetupRunLock.h"

namespace {

bool IsSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool Contains(const std::vector<std::string>& codes, const std::string& code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

FileSystemPath Join(FileSystemPath base, const std::string& segment) {
    base.AppendUTF8Segment(segment);
    return base;
}

std::optional<FileSystemPath> CommonFolder() {
    FileSystemPath common;
    if (!FolderResolver::ExpandPathKey("KavexCommon", common)) return std::nullopt;
    return common;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void NoteWaitStatus(LaunchRecord& record, int status) {
    if (status < 0) return;
    if (WIFEXITED(status)) record.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) record.signal = WTERMSIG(status);
    if (WIFSTOPPED(status)) record.signal = WSTOPSIG(status);
}

}  // namespace

void PayloadsManager::ClearMediaRecords() {
    for (auto& entry : mMediaRecords) delete entry.second;
    mMediaRecords.clear();
}

void PayloadsManager::ResetPlan() {
    std::lock_guard<std::mutex> guard(mRecordsMutex);
    mPlanCodes.clear();
    mPlanSessionIDs.clear();
    mPlanDisplayNames.clear();
    mPlanParentCodes.clear();
    mPlanSetupFolders.clear();
    mPlanInstallFolders.clear();
    mPlanExtensionsFolders.clear();
    mPlanProxyPaths.clear();
    mPlanSizes.clear();
    mPlanDone.clear();
    mCopiedFolders.clear();
    ClearMediaRecords();
    mProgress.Modify([](ProgressResult& p) { p.mStep = p.mSteps = 0; });
    mPrepared = false;
    mErrorCode = 0;
}

void PayloadsManager::PlanPayloads(const std::optional<FileSystemPath>& common, int& result) {
    ScopedStoreSession store;
    if (moxaOpenSessionNoCreate(store.out()) != kMoxaOK) {
        MOQ_LOG("MOXA DB Error\n");
        mErrorCode = ErrorCodes::kMOXADBError;
        mPrepared = true;
        result = ErrorCodes::kLaunchNotAttempted;
        return;
    }
    moxaiSession* session = store.get();
    const FileSystemPath extensionsFolder = Join(mInstallerRoot, "extensions");
    // Each patch's base product's collections: the table has no index by payload, so with
    // several patches one pass over it for all their bases replaces a scan per patch.
    std::vector<std::string> bases;
    for (const auto& entry : mPayloads) {
        const PayloadAccessor& accessor = *entry.second;
        if (!accessor.mAlreadyInstalled && !accessor.mParentNotInstalled && !accessor.mHigherPatchInstalled) {
            bases.push_back(accessor.mDataStore->mParentKavexCode);
        }
    }
    std::map<std::string, std::vector<std::string> > collectionsOf;
    bool membershipsRead = false;
    if (bases.size() > 1) {
        const char** rows = nullptr;
        const int code = moxaGetMembershipsOf(session, bases, &rows);
        membershipsRead = code == kMoxaOK || code == kMoxaErrNotFound;
        for (int i = 0; code == kMoxaOK && rows != nullptr && rows[i] != nullptr && rows[i + 1] != nullptr; i += 2) {
            collectionsOf[rows[i]].push_back(rows[i + 1]);
        }
    }
    for (const auto& entry : mPayloads) {
        const PayloadAccessor& accessor = *entry.second;
        if (accessor.mAlreadyInstalled || accessor.mParentNotInstalled || accessor.mHigherPatchInstalled) continue;
        const PayloadProxy::DataStore& patch = *accessor.mDataStore;
        const std::string displayName = patch.mProductName + " " + patch.mProductVersion;
        bool planned = false, gated = false, recordedFailed = false;

        std::vector<std::string> collections;
        if (membershipsRead) {
            const auto found = collectionsOf.find(patch.mParentKavexCode);
            if (found != collectionsOf.end()) collections = found->second;
        } else {
            const char** list = nullptr;
            if (moxaGetPayloadCollections(session, kMoxaStateAny, patch.mParentKavexCode.c_str(), &list) == kMoxaOK) {
                for (int c = 0; list != nullptr && list[c] != nullptr; ++c) collections.push_back(list[c]);
            }
        }
        for (const std::string& collection : collections) {
            const char* sessionValue = nullptr;
            if (moxaGetCollectionData(session, collection.c_str(), kMoxaDomainInstallation, "sessionID", &sessionValue) != kMoxaOK ||
                sessionValue == nullptr) {
                MOQ_LOG("MOXA DB Error Cannot find valid primary session for %s\n", collection.c_str());
                continue;
            }
            const std::string sessionID = sessionValue;
            if (sessionID.empty()) {
                std::lock_guard<std::mutex> guard(mRecordsMutex);
                mFailedPayloads.insert(std::make_pair(patch.mKavexCode, patch.mProductName));
                recordedFailed = true;
                continue;
            }
            // The session ID names a folder of ours: it must stay inside "Installers".
            if (!IsSingleComponent(sessionID)) {
                MOQ_LOG("Skipping collection %s: session ID %s is not a folder name\n", collection.c_str(), sessionID.c_str());
                continue;
            }

            std::string folderName, proxyName;
            const char* mediaPath = nullptr;
            if (moxaGetPayloadData(session, patch.mParentKavexCode.c_str(), kMoxaDomainInstallation, "mediaPath", &mediaPath) == kMoxaOK &&
                mediaPath != nullptr) {
                std::string name = mediaPath;
                name = name.substr(name.find_last_of('/') == std::string::npos ? 0 : name.find_last_of('/') + 1);
                const size_t dmg = name.rfind(VORNConstants::kPlatformPayloadExtension);
                if (dmg != std::string::npos) {
                    folderName = name.substr(0, dmg);
                    proxyName = name;
                    proxyName.replace(dmg, strlen(VORNConstants::kPlatformPayloadExtension), PayloadIteration::kProxyFileExtension);
                } else {
                    folderName = name;
                    proxyName = name + PayloadIteration::kProxyFileExtension;
                }
            }

            if (!common) {
                MOQ_LOG("Skipping collection %s: no common folder for its cached installer\n", collection.c_str());
                continue;
            }
            const FileSystemPath setupFolder = Join(Join(*common, "Installers"), sessionID);
            if (!FileSystemUtils::Exists(setupFolder)) {
                MOQ_LOG("Skipping collection %s: no cached installer at %s\n", collection.c_str(), setupFolder.AsUTF8String().c_str());
                continue;
            }
            FileSystemPath mediaProxy = Join(Join(Join(setupFolder, "payloads"), folderName), proxyName);
            if (!FileSystemUtils::Exists(mediaProxy)) mediaProxy = Join(Join(Join(setupFolder, "extensions"), folderName), proxyName);
            // Patches of one base share its media description: it is read once per plan.
            const auto known = mMediaRecords.find(mediaProxy.AsUTF8String());
            const PayloadProxy::DataStore* media = known != mMediaRecords.end() ? known->second : nullptr;
            if (media == nullptr) {
                std::unique_ptr<PayloadProxy::DataStore> loaded(new PayloadProxy::DataStore());
                if (folderName.empty() || !FileSystemUtils::Exists(mediaProxy) || !loaded->Load(mediaProxy)) {
                    MOQ_LOG("Skipping collection %s: the media description %s cannot be loaded\n", collection.c_str(),
                            mediaProxy.AsUTF8String().c_str());
                    continue;
                }
                PayloadProxy::DataStore*& slot = mMediaRecords[mediaProxy.AsUTF8String()];
                delete slot;
                slot = loaded.release();
                media = slot;
            }
            std::string installFolder;
            const char* installDir = nullptr;
            if (moxaGetPayloadData(session, media->mKavexCode.c_str(), kMoxaDomainInstallation, "INSTALLDIR", &installDir) == kMoxaOK && installDir) {
                installFolder = installDir;
            }
            const std::string mediaVersion = media->mProductVersion;

            if (PayloadsManagerUtils::CompareVersions(mediaVersion, patch.mProductVersion) > 0) {
                gated = true;
                continue;
            }
            const uint64_t size = PayloadsManagerUtils::SizeFromText(patch.mTotalSize);
            {
                std::lock_guard<std::mutex> guard(mRecordsMutex);
                mPlanCodes.push_back(patch.mKavexCode);
                mPlanParentCodes.push_back(patch.mParentKavexCode);
                mPlanSessionIDs.push_back(sessionID);
                mPlanDisplayNames.push_back(displayName);
                mPlanSetupFolders.push_back(setupFolder);
                mPlanInstallFolders.push_back(installFolder);
                mPlanExtensionsFolders.push_back(extensionsFolder);
                mPlanProxyPaths.push_back(accessor.mProxyPath);
                mPlanSizes.push_back(size);
                mPlanDone.push_back(0);
            }
            planned = true;
            // Not a usable path: nothing to measure.
            if (std::optional<FileSystemPath> target = FileSystemPath::Make(installFolder)) {
                if (!IsDiskSpaceAvailable(*target, size)) result = ErrorCodes::kNotEnoughDiskSpace;
            }
        }
        // A patch that cannot be scheduled anywhere must not pass for installed.
        if (!planned && !gated && !recordedFailed) {
            MOQ_LOG("No installation of the base product can take %s\n", patch.mKavexCode.c_str());
            std::lock_guard<std::mutex> guard(mRecordsMutex);
            mFailedPayloads.insert(std::make_pair(patch.mKavexCode, displayName));
        }
    }
}

int PayloadsManager::LaunchPlanEntry(size_t i, moxaiSession*& session) {
    // A stop asked for by the user lets the running setup finish and starts no other.
    if (!mContinueInstall) return 0;
    const int32_t step = 1 + static_cast<int32_t>(std::count(mPlanDone.begin(), mPlanDone.end(), 1));
    mProgress.Modify([&](ProgressResult& p) {
        p.mStep = step;
        p.mSteps = static_cast<int32_t>(mPlanCodes.size());
        p.mTitle = mPlanDisplayNames[i];
    });
    const int result = LaunchMainSetupAndInstallPatch(mPlanCodes[i], mPlanParentCodes[i], session, mPlanSessionIDs[i],
                                                      mPlanSetupFolders[i], mPlanInstallFolders[i], mPlanExtensionsFolders[i],
                                                      mPlanSizes[i], mPlanDisplayNames[i], 0, 99, mPlanProxyPaths[i]);
    std::lock_guard<std::mutex> guard(mRecordsMutex);
    if (result != 0) {
        mFailedPayloads.insert(std::make_pair(mPlanCodes[i], mPlanDisplayNames[i]));
        mInstallResults.push_back(result);
    } else {
        mSuccessfulPayloads.insert(std::make_pair(mPlanCodes[i], mPlanDisplayNames[i]));
    }
    mPlanDone[i] = 1;
    return result;
}

int PayloadsManager::InstallPayload(InstallerEngine*, bool prepareOnly, bool reset) {
    MOQ_LOG("Called PayloadsManager::InstallPayload\n");
    int result = 0;
    if (reset) ResetPlan();
    std::map<std::string, std::string> updates;
    GetUpdatesList(updates);
    if (updates.empty() && mErrorCode != 0) {
        mPrepared = true;
        return mErrorCode;
    }
    if (!mPrepared) {
        mErrorCode = 0;
        // A bundle of patches has "extensions" beside it; one with "payloads" is a full installer.
        const bool isPatchBundle = !FileSystemUtils::Exists(Join(mInstallerRoot, "payloads")) &&
                                   FileSystemUtils::Exists(Join(mInstallerRoot, "extensions"));
        if (isPatchBundle) {
            const std::optional<FileSystemPath> common = CommonFolder();
            if (!common) MOQ_LOG("The common folder cannot be found\n");
            PlanPayloads(common, result);
            if (result == ErrorCodes::kLaunchNotAttempted && mErrorCode == ErrorCodes::kMOXADBError) return result;
        }
        mPrepared = true;
        if (result != 0) mErrorCode = result;
    }
    if (mPrepared && !prepareOnly) {
        ScopedStoreSession store;
        moxaOpenSessionNoCreate(store.out());
        moxaiSession*& session = store.ref();
        moxaSessionBackupAtClose(session);
        const size_t none = mPlanCodes.size();
        size_t driver = none;
        if (mSetupData != nullptr && !mSetupData->mDriverCode.empty()) {
            for (size_t i = 0; i < mPlanCodes.size() && driver == none; ++i) {
                if (mPlanCodes[i] == mSetupData->mDriverCode) driver = i;
            }
        }
        bool aborted = false;
        if (SetupStillRunning()) {
            mErrorCode = ErrorCodes::kAnotherInstanceRunning;
            aborted = true;
            result = ErrorCodes::kAnotherInstanceRunning;
        }
        if (!aborted && !mPlanCodes.empty()) {
            if (mSetupData != nullptr && !mSetupData->mCriticalCodes.empty()) {
                for (size_t i = 0; i < mPlanCodes.size() && !aborted; ++i) {
                    if (!Contains(mSetupData->mCriticalCodes, mPlanCodes[i]) || mPlanDone[i] || i == driver) continue;
                    result = LaunchPlanEntry(i, session);
                    if (result != 0) {
                        MOQ_LOG("Critical Payload Install Failed, Aborting the Patch Install Session\n");
                        aborted = true;
                    }
                }
            }
            if (!aborted && driver != none && !mPlanDone[driver]) {
                result = LaunchPlanEntry(driver, session);
                if (result != 0) {
                    MOQ_LOG("Driver Payload Install Failed, Aborting the Patch Install Session\n");
                    aborted = true;
                }
            }
            if (!aborted && mSetupData != nullptr && !mSetupData->mOptionalCodes.empty()) {
                for (size_t i = 0; i < mPlanCodes.size(); ++i) {
                    if (!mPlanDone[i] && Contains(mSetupData->mOptionalCodes, mPlanCodes[i])) result = LaunchPlanEntry(i, session);
                }
            }
            if (!aborted) {
                for (size_t i = 0; i < mPlanCodes.size(); ++i) {
                    if (!mPlanDone[i]) result = LaunchPlanEntry(i, session);
                }
            }
        }
        ClearMediaRecords();
    }
    MOQ_LOG("Returning from PayloadsManager::InstallPayload");
    return result;
}

int PayloadsManager::LaunchMainSetupAndInstallPatch(const std::string& code, const std::string& parentCode,
                                                    moxaiSession*& session, const std::string& sessionID,
                                                    FileSystemPath setupFolder, const std::string&,
                                                    FileSystemPath extensionsFolder, uint64_t, const std::string& displayName,
                                                    int start, int end, FileSystemPath proxyPath) {
    MOQ_LOG("Called PayloadsManager::LaunchMainSetupAndInstallPatch with kavexCode %s and parentSessionID %s\n",
            code.c_str(), sessionID.c_str());
    if (sessionID.empty()) return ErrorCodes::kLaunchNotAttempted;
    UpdateInstallDirInMoxaIfNeeded(session, parentCode);

    const FileSystemPath target = Join(setupFolder, "extensions");
    std::vector<std::string> args = MainSetupCommand::Arguments(code, sessionID, setupFolder, extensionsFolder);
    LaunchRecord record;
    record.code = code;
    record.sessionID = sessionID;
    record.workingFolder = setupFolder.AsUTF8String();
    record.arguments = args;
    record.startedMs = NowMs();
    // The setup of an earlier run, killed with its launcher, may still be at work here.
    SetupRunLock running;
    const SetupRunLock::Result lock = running.Take(setupFolder.AsUTF8String());
    if (lock != SetupRunLock::kTaken) {
        MOQ_LOG("%s\n", lock == SetupRunLock::kBusy ? "A setup started earlier still runs in the setup folder: not launched"
                                                    : "The setup folder cannot be locked: not launched");
        if (lock == SetupRunLock::kBusy) mErrorCode = ErrorCodes::kAnotherInstanceRunning;
        record.notLaunchedReason = lock == SetupRunLock::kBusy ? "a setup started earlier still runs in its folder"
                                                               : "the setup folder cannot be locked";
        record.result = lock == SetupRunLock::kBusy ? ErrorCodes::kAnotherInstanceRunning : ErrorCodes::kRollBack;
        RecordLaunch(record);
        return record.result;
    }
    bool copied = PayloadsManagerUtils::BlindCopyProxyFile(proxyPath, target);
    copied = CopyOnce(extensionsFolder, target, ".data") && copied;
    FileSystemPath runtime = Join(Join(setupFolder, ".."), "R2");
    copied = PatchRuntime(extensionsFolder, runtime) && copied;

    int result = ErrorCodes::kRollBack;
    if (!copied) {
        // A setup given half its files could install half a patch.
        MOQ_LOG("The files of %s could not all be put beside its setup: not launched\n", code.c_str());
        record.notLaunchedReason = "the patch's files could not all be put beside the setup";
    } else {
        mProgress.SetTitle(displayName);
        ExecUtils::ChildSetup child;
        child.workingFolder = setupFolder.AsUTF8String();
        int waitStatus = -1;
        bool timedOut = false;
        child.waitStatus = &waitStatus;
        child.timeoutSeconds = mSetupTimeoutSeconds;
        child.timedOut = &timedOut;
        child.started = [&running](int pid) { running.NoteSetup(pid); };
        const auto launched = std::chrono::steady_clock::now();
        record.startedMs = NowMs();
        result = FileSystemUtils::RunApplicationWithPrivileges(args, &mProgress, start, end, &child);
        record.durationMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - launched).count();
        running.ClearSetup();
        record.launched = true;
        record.timedOut = timedOut;
        NoteWaitStatus(record, waitStatus);
        std::string command;
        for (const std::string& arg : args) command += arg + " ";
        MOQ_LOG("Launched the Main Setup with Command\n");
        MOQ_LOG("%s\n", command.c_str());
    }
    if (result != 0) {
        PayloadsManagerUtils::BlindDeleteProxyFile(proxyPath, target);
        result = ErrorCodes::kRollBack;
    }
    record.result = result;
    record.rolledBack = result == ErrorCodes::kRollBack;
    RecordLaunch(record);
    MOQ_LOG("Returning from PayloadsManager::LaunchMainSetupAndInstallPatch with exit code: %d\n", result);
    return result;
}

void PayloadsManager::UpdateInstallDirInMoxaIfNeeded(moxaiSession* session, const std::string& parentCode) {
    if (session == nullptr) return;
    auto folder = mapInstallDir.find(parentCode);
    if (folder != mapInstallDir.end()) {
        moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainCurrent, "INSTALLDIR", folder->second.c_str());
        moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainInstallation, "INSTALLDIR", folder->second.c_str());
    }
    auto config = mapZTKConfigPath.find(parentCode);
    if (config != mapZTKConfigPath.end()) {
        moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainCurrent, "ZTKConfigPath", config->second.c_str());
    }
    moxaSessionCommit(session);
}

bool PayloadsManager::PatchRuntime(FileSystemPath& extensionsFolder, FileSystemPath& runtimeFolder) {
    const FileSystemPath runtime = Join(extensionsFolder, "runtime");
    return !FileSystemUtils::Exists(runtime) || CopyOnce(runtime, runtimeFolder, std::string());
}

bool PayloadsManager::CopyOnce(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix) {
    // Every launch of a run copies the same folders: once per run is enough.
    const std::string key = source.AsUTF8String() + '\0' + target.AsUTF8String() + '\0' + suffix;
    if (mCopiedFolders.count(key)) return true;
    const bool ok = suffix.empty() ? PayloadsManagerUtils::BlindCopyFolder(source, target)
                                   : PayloadsManagerUtils::BlindCopyExtensions(source, target, suffix);
    if (ok) mCopiedFolders.insert(key);
    return ok;
}

void PayloadsManager::RecordLaunch(const LaunchRecord& record) {
    std::lock_guard<std::mutex> guard(mRecordsMutex);
    mLaunches.push_back(record);
}

bool PayloadsManager::SetupStillRunning() {
    std::set<std::string> folders;
    for (const FileSystemPath& folder : mPlanSetupFolders) folders.insert(folder.AsUTF8String());
    for (const std::string& folder : folders) {
        SetupRunLock probe;
        if (probe.Take(folder) == SetupRunLock::kBusy) {
            MOQ_LOG("A setup started earlier still runs in %s: nothing is launched\n", folder.c_str());
            return true;
        }
    }
    return false;
}

int PayloadsManager::ProcessPayloads(InstallerEngine* engine, std::map<std::string, int>& results) {
    MOQ_LOG("Called PayloadsManager::ProcessPayloads\n");
    int answer = 0;
    try {
        for (const auto& entry : mPayloads) {
            if (!mContinueInstall) {
                answer = 1;
                break;
            }
            const PayloadAccessor& accessor = *entry.second;
            if (accessor.mAlreadyInstalled || accessor.mParentNotInstalled) continue;
            mProgress.SetTitle(accessor.mDataStore->mProductName);
            const int result = InstallPayload(engine, false, false);
            results.insert(std::make_pair(entry.first, result));
            if (result != 0) {
                MapErrorCodeToJSError(mProgress, result);
                answer = 2;
            }
            break;
        }
    } catch (...) {
        MOQ_LOG("Caught an exception in PayloadsManager::ProcessPayloads\n");
        answer = 2;
    }
    mProgress.SetPercent(100);
    MOQ_LOG("Returning from PayloadsManager::ProcessPayloads with return Value %d\n", answer);
    return answer;
}

int PayloadsManager::GetErrorCode() {
    PayloadsManager* manager = singleton;
    if (manager == nullptr) return 0;
    if (mErrorCode == ErrorCodes::kNotEnoughDiskSpace || mErrorCode == ErrorCodes::kAnotherInstanceRunning) return mErrorCode;
    std::lock_guard<std::mutex> guard(manager->mRecordsMutex);
    if (!manager->mAlreadyInstalledCodes.empty()) mErrorCode = ErrorCodes::kAlreadyInstalled;
    if (!manager->mFailedPayloads.empty()) mErrorCode = ErrorCodes::kRollBack;
    if (mErrorCode != 0) return mErrorCode;
    return manager->mInstallResults.empty() ? 0 : manager->mInstallResults.front();
}

int PayloadsManager::InitializationFailureCode() {
    if (mErrorCode == ErrorCodes::kMOXADBError || mErrorCode == ErrorCodes::kAnotherInstanceRunning) return mErrorCode;
    return ErrorCodes::kUnknownError;
}

int PayloadsManager::CheckOptionalPayloadFailure() {
    PayloadsManager* manager = singleton;
    if (manager == nullptr) return 0;
    std::lock_guard<std::mutex> guard(manager->mRecordsMutex);
    int code = 0;
    if (!manager->mAlreadyInstalledCodes.empty()) code = mErrorCode = ErrorCodes::kAlreadyInstalled;
    if (!manager->mFailedPayloads.empty()) code = mErrorCode = ErrorCodes::kRollBack;
    if (code == ErrorCodes::kAlreadyInstalled) {
        if (manager->mSuccessfulPayloads.empty()) return 2;
        mErrorCode = 0;
    }
    if (code == ErrorCodes::kRollBack) return 2;
    if (!manager->mInstallResults.empty()) {
        mErrorCode = manager->mInstallResults.front();
        return 2;
    }
    return 0;
}
