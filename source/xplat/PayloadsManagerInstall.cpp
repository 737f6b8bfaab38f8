// The installation plan and the launches of the cached main setups.
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "BundleVerifier.h"
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

std::string ShownFolder(const std::string& folder, const std::vector<std::string>& others) {
    if (folder.empty()) return folder;
    std::vector<size_t> cuts;  // where each trailing part starts, shortest first
    for (size_t at = folder.size(); at > 0;) {
        const size_t slash = folder.rfind('/', at - 1);
        if (slash == std::string::npos || slash == 0) break;
        if (slash + 1 < at) cuts.push_back(slash);
        at = slash;
    }
    for (size_t n = 1; n < cuts.size(); ++n) {
        const std::string tail = folder.substr(cuts[n]);
        bool distinct = true;
        for (const std::string& other : others) {
            distinct = distinct && !(other.size() >= tail.size() && other.compare(other.size() - tail.size(), tail.size(), tail) == 0);
        }
        if (distinct) return "\u2026" + tail;
    }
    return folder;
}

}  // namespace

std::vector<std::string> PatchOutcome::ShownFolders(const std::vector<std::string>& folders) {
    std::vector<std::string> shown;
    for (size_t i = 0; i < folders.size(); ++i) {
        std::vector<std::string> others;
        for (size_t j = 0; j < folders.size(); ++j) {
            if (j != i && folders[j] != folders[i]) others.push_back(folders[j]);
        }
        shown.push_back(ShownFolder(folders[i], others));
    }
    for (size_t i = 0; i < folders.size(); ++i) {
        const size_t alike = std::count(folders.begin(), folders.end(), folders[i]);
        if (alike < 2) continue;
        const size_t ordinal = 1 + std::count(folders.begin(), folders.begin() + i, folders[i]);
        shown[i] += " \u00b7 " + std::to_string(ordinal);
    }
    return shown;
}

void PayloadsManager::ClearMediaRecords() {
    for (auto& entry : mMediaRecords) delete entry.second;
    mMediaRecords.clear();
}

void PayloadsManager::ResetPlan() {
    MutexLock guard(mRecordsMutex);
    mPlan.clear();
    mHeldEntries.clear();
    // A new plan decides again what fails; what an earlier pass installed stays installed.
    mFailedPayloads.clear();
    mInstallResults.clear();
    mCopiedFolders.clear();
    ClearMediaRecords();
    // A new pass starts from nothing: a page must not read the last pass's end as its own.
    mProgress.Modify([](ProgressResult& p) { p.mStep = p.mSteps = p.mPercent = 0; });
    mPrepared = false;
    mErrorCode = 0;
}

namespace {

// The media's folder and description names in a cached installer, from the base
// product's recorded media path ("<folder>.dmg" gives "<folder>" and "<folder>.proxy.xml").
bool MediaNames(moxaiSession* session, const std::string& parentCode, std::string& folderName, std::string& proxyName) {
    const char* mediaPath = nullptr;
    if (moxaGetPayloadData(session, parentCode.c_str(), kMoxaDomainInstallation, "mediaPath", &mediaPath) != kMoxaOK ||
        mediaPath == nullptr) {
        return false;
    }
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
    return true;
}

}  // namespace

void PayloadsManager::PlanPayloads(const std::optional<FileSystemPath>& common, int& result) {
    ScopedStoreSession store;
    const int opened = moxaOpenSessionNoCreate(store.out());
    if (opened != kMoxaOK) {
        MOQ_LOG("MOXA DB Error\n");
        PayloadsManagerUtils::SayStoreUnopened(opened);
        mErrorCode = ErrorCodes::kMOXADBError;
        mPrepared = true;
        result = ErrorCodes::kLaunchNotAttempted;
        return;
    }
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
        const int code = moxaGetMembershipsOf(store.get(), bases, &rows);
        membershipsRead = code == kMoxaOK || code == kMoxaErrNotFound;
        for (int i = 0; code == kMoxaOK && rows != nullptr && rows[i] != nullptr && rows[i + 1] != nullptr; i += 2) {
            collectionsOf[rows[i]].push_back(rows[i + 1]);
        }
    }
    for (const auto& entry : mPayloads) {
        const PayloadAccessor& accessor = *entry.second;
        if (accessor.mAlreadyInstalled || accessor.mParentNotInstalled || accessor.mHigherPatchInstalled) continue;
        std::vector<std::string> collections;
        if (membershipsRead) {
            const auto found = collectionsOf.find(accessor.mDataStore->mParentKavexCode);
            if (found != collectionsOf.end()) collections = found->second;
        } else {
            const char** list = nullptr;
            if (moxaGetPayloadCollections(store.get(), kMoxaStateAny, accessor.mDataStore->mParentKavexCode.c_str(), &list) ==
                kMoxaOK) {
                for (int c = 0; list != nullptr && list[c] != nullptr; ++c) collections.push_back(list[c]);
            }
        }
        PlanPatch(accessor, store.get(), collections, common, result);
    }
}

void PayloadsManager::PlanPatch(const PayloadAccessor& accessor, moxaiSession* session,
                                const std::vector<std::string>& collections, const std::optional<FileSystemPath>& common,
                                int& result) {
    const PayloadProxy::DataStore& patch = *accessor.mDataStore;
    const std::string displayName = patch.mProductName + " " + patch.mProductVersion;
    bool planned = false, gated = false, recordedFailed = false;
    for (const std::string& collection : collections) {
        switch (PlanInstallation(accessor, session, collection, common, result)) {
            case kPlanned: planned = true; break;
            case kGated: gated = true; break;
            case kRecordedFailed: recordedFailed = true; break;
            case kHeld: planned = true; break;
            case kSkipped: break;
        }
    }
    // A patch that cannot be scheduled anywhere must not pass for installed.
    if (!planned && !gated && !recordedFailed) {
        MOQ_LOG("No installation of the base product can take %s\n", patch.mKavexCode.c_str());
        MutexLock guard(mRecordsMutex);
        mFailedPayloads.insert(std::make_pair(patch.mKavexCode, displayName));
    }
}

const PayloadProxy::DataStore* PayloadsManager::LoadMediaRecord(const FileSystemPath& setupFolder,
                                                                 const std::string& folderName,
                                                                 const std::string& proxyName,
                                                                 const std::string& collection) {
    FileSystemPath mediaProxy = Join(Join(Join(setupFolder, "payloads"), folderName), proxyName);
    if (!FileSystemUtils::Exists(mediaProxy)) mediaProxy = Join(Join(Join(setupFolder, "extensions"), folderName), proxyName);
    // Patches of one base share its media description: it is read once per plan.
    const auto known = mMediaRecords.find(mediaProxy.AsUTF8String());
    if (known != mMediaRecords.end() && known->second != nullptr) return known->second;
    std::unique_ptr<PayloadProxy::DataStore> media(new PayloadProxy::DataStore());
    if (folderName.empty() || !FileSystemUtils::Exists(mediaProxy) || !media->Load(mediaProxy)) {
        MOQ_LOG("Skipping collection %s: the media description %s cannot be loaded\n", collection.c_str(),
                mediaProxy.AsUTF8String().c_str());
        return nullptr;
    }
    PayloadProxy::DataStore*& slot = mMediaRecords[mediaProxy.AsUTF8String()];
    delete slot;
    slot = media.release();
    return slot;
}

PayloadsManager::Planned PayloadsManager::PlanInstallation(const PayloadAccessor& accessor, moxaiSession* session,
                                                           const std::string& collection,
                                                           const std::optional<FileSystemPath>& common, int& result) {
    const PayloadProxy::DataStore& patch = *accessor.mDataStore;
    const char* sessionValue = nullptr;
    if (moxaGetCollectionData(session, collection.c_str(), kMoxaDomainInstallation, "sessionID", &sessionValue) != kMoxaOK ||
        sessionValue == nullptr) {
        MOQ_LOG("MOXA DB Error Cannot find valid primary session for %s\n", collection.c_str());
        return kSkipped;
    }
    const std::string sessionID = sessionValue;
    if (sessionID.empty()) {
        MutexLock guard(mRecordsMutex);
        mFailedPayloads.insert(std::make_pair(patch.mKavexCode, patch.mProductName));
        return kRecordedFailed;
    }
    // The session ID names a folder of ours: it must stay inside "Installers".
    if (!IsSingleComponent(sessionID)) {
        MOQ_LOG("Skipping collection %s: session ID %s is not a folder name\n", collection.c_str(), sessionID.c_str());
        return kSkipped;
    }
    std::string folderName, proxyName;
    MediaNames(session, patch.mParentKavexCode, folderName, proxyName);
    if (!common) {
        MOQ_LOG("Skipping collection %s: no common folder for its cached installer\n", collection.c_str());
        return kSkipped;
    }
    const FileSystemPath setupFolder = Join(Join(*common, "Installers"), sessionID);
    if (!FileSystemUtils::Exists(setupFolder)) {
        MOQ_LOG("Skipping collection %s: no cached installer at %s\n", collection.c_str(), setupFolder.AsUTF8String().c_str());
        return kSkipped;
    }
    const PayloadProxy::DataStore* media = LoadMediaRecord(setupFolder, folderName, proxyName, collection);
    if (media == nullptr) return kSkipped;
    std::string installFolder;
    const char* installDir = nullptr;
    if (moxaGetPayloadData(session, media->mKavexCode.c_str(), kMoxaDomainInstallation, "INSTALLDIR", &installDir) == kMoxaOK &&
        installDir != nullptr) {
        installFolder = installDir;
    }
    if (PayloadsManagerUtils::CompareVersions(media->mProductVersion, patch.mProductVersion) > 0) return kGated;
    // Installed there already, by an earlier pass of this session or an earlier run: nothing
    // to launch. Without this a run after a stop would install again where the page said
    // the patch was.
    bool held = false;
    {
        MutexLock guard(mRecordsMutex);
        held = mInstalledEntries.count(std::make_pair(patch.mKavexCode, sessionID)) != 0;
    }
    const char** members = nullptr;
    if (!held && moxaGetCollectionPayloads(session, kMoxaStateInstalled, collection.c_str(), &members) == kMoxaOK) {
        for (int m = 0; members != nullptr && members[m] != nullptr && !held; ++m) held = patch.mKavexCode == members[m];
    }
    if (held) {
        MOQ_LOG("Not planned in session %s: the store records %s there already\n", sessionID.c_str(), patch.mKavexCode.c_str());
        MutexLock guard(mRecordsMutex);
        mHeldEntries.push_back({patch.mKavexCode, patch.mProductName + " " + patch.mProductVersion, sessionID,
                                media->mProductName, installFolder});
        return kHeld;
    }

    const uint64_t size = PayloadsManagerUtils::SizeFromText(patch.mTotalSize);
    {
        MutexLock guard(mRecordsMutex);
        PlanEntry entry;
        entry.code = patch.mKavexCode;
        entry.parentCode = patch.mParentKavexCode;
        entry.sessionID = sessionID;
        entry.displayName = patch.mProductName + " " + patch.mProductVersion;
        entry.setupFolder = setupFolder;
        entry.installFolder = installFolder;
        entry.extensionsFolder = Join(mInstallerRoot, "extensions");
        entry.proxyPath = accessor.mProxyPath;
        entry.size = size;
        entry.product = media->mProductName;
        mPlan.push_back(entry);
    }
    // Not a usable path: nothing to measure.
    if (std::optional<FileSystemPath> target = FileSystemPath::Make(installFolder)) {
        if (!IsDiskSpaceAvailable(*target, size)) result = ErrorCodes::kNotEnoughDiskSpace;
    }
    return kPlanned;
}

int PayloadsManager::LaunchPlanEntry(size_t i, moxaiSession*& session) {
    // While the user is asked whether to stop, nothing new starts; a stop lets the
    // running setup finish and starts no other.
    mLaunchGate.WaitWhileHeld();
    if (!mContinueInstall) return 0;
    PlanEntry entry;
    int32_t step = 0, steps = 0;
    std::string shownFolder;
    {
        MutexLock guard(mRecordsMutex);
        entry = mPlan[i];
        steps = static_cast<int32_t>(mPlan.size());
        step = 1 + static_cast<int32_t>(std::count_if(mPlan.begin(), mPlan.end(), [](const PlanEntry& e) { return e.done; }));
        // In the order the finish page lists them, so that both name it alike.
        std::vector<std::string> folders;
        size_t at = 0;
        for (const HeldEntry& held : mHeldEntries) {
            if (held.code == entry.code) folders.push_back(held.installFolder);
        }
        for (size_t j = 0; j < mPlan.size(); ++j) {
            if (j == i) at = folders.size();
            if (mPlan[j].code == entry.code) folders.push_back(mPlan[j].installFolder);
        }
        shownFolder = PatchOutcome::ShownFolders(folders)[at];
    }
    mProgress.Modify([&](ProgressResult& p) {
        p.mStep = step;
        p.mSteps = steps;
        p.mTitle = entry.displayName;
        p.mProduct = entry.product;
        p.mShownFolder = shownFolder;
    });
    const int result = LaunchMainSetupAndInstallPatch(entry.code, entry.parentCode, session, entry.sessionID, entry.setupFolder,
                                                      entry.installFolder, entry.extensionsFolder, entry.size,
                                                      entry.displayName, 0, 99, entry.proxyPath);
    MutexLock guard(mRecordsMutex);
    mPlan[i].done = true;
    mPlan[i].result = result;
    if (result != 0) {
        mFailedPayloads.insert(std::make_pair(entry.code, entry.displayName));
        mInstallResults.push_back(result);
        return result;
    }
    mInstalledEntries[std::make_pair(entry.code, entry.sessionID)] = InstallationName(i);
    // Installed only once it is in every installation the plan has for it.
    bool everywhere = true;
    for (const PlanEntry& other : mPlan) everywhere = everywhere && (other.code != entry.code || other.result == 0);
    if (everywhere) mSuccessfulPayloads.insert(std::make_pair(entry.code, entry.displayName));
    return result;
}

bool PayloadsManager::PlanEntryDone(size_t i) const {
    MutexLock guard(mRecordsMutex);
    return mPlan[i].done;
}

size_t PayloadsManager::PlanSize() const {
    MutexLock guard(mRecordsMutex);
    return mPlan.size();
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
        // Only this pass changes the plan's length, and only while it plans.
        const std::vector<PlanEntry> plan = Plan();
        const size_t none = plan.size();
        size_t driver = none;
        if (mSetupData != nullptr && !mSetupData->mDriverCode.empty()) {
            for (size_t i = 0; i < plan.size() && driver == none; ++i) {
                if (plan[i].code == mSetupData->mDriverCode) driver = i;
            }
        }
        bool aborted = false;
        if (SetupStillRunning()) {
            mErrorCode = ErrorCodes::kAnotherInstanceRunning;
            aborted = true;
            result = ErrorCodes::kAnotherInstanceRunning;
        }
        if (!aborted && !plan.empty()) {
            if (mSetupData != nullptr && !mSetupData->mCriticalCodes.empty()) {
                for (size_t i = 0; i < plan.size() && !aborted; ++i) {
                    if (!Contains(mSetupData->mCriticalCodes, plan[i].code) || PlanEntryDone(i) || i == driver) continue;
                    result = LaunchPlanEntry(i, session);
                    if (result != 0) {
                        MOQ_LOG("Critical Payload Install Failed, Aborting the Patch Install Session\n");
                        aborted = true;
                    }
                }
            }
            if (!aborted && driver != none && !PlanEntryDone(driver)) {
                result = LaunchPlanEntry(driver, session);
                if (result != 0) {
                    MOQ_LOG("Driver Payload Install Failed, Aborting the Patch Install Session\n");
                    aborted = true;
                }
            }
            if (!aborted && mSetupData != nullptr && !mSetupData->mOptionalCodes.empty()) {
                for (size_t i = 0; i < plan.size(); ++i) {
                    if (!PlanEntryDone(i) && Contains(mSetupData->mOptionalCodes, plan[i].code)) result = LaunchPlanEntry(i, session);
                }
            }
            if (!aborted) {
                for (size_t i = 0; i < plan.size(); ++i) {
                    if (!PlanEntryDone(i)) result = LaunchPlanEntry(i, session);
                }
            }
        }
        // A question still open when the last setup ends is answered before the pass ends.
        mLaunchGate.WaitWhileHeld();
        ClearMediaRecords();
        // A failed write of the store is no success, even when every setup succeeded.
        const int closed = store.close();
        if (closed != kMoxaOK) {
            MOQ_LOG("The installed-products store could not be written (store code %d)\n", closed);
            if (result == 0) result = mErrorCode = ErrorCodes::kMOXADBError;
        }
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
    // Old or new, never half: every copy is staged, renamed into place with the rest, and taken
    // back as a whole when the setup does not succeed (or, after a crash, by the next run).
    const std::string journals = LaunchUndo::JournalFolder();
    LaunchUndo::Journal header;
    header.token = LaunchUndo::NewToken();
    header.code = code;
    header.session = sessionID;
    header.setupFolder = setupFolder.AsUTF8String();
    FileSystemPath runtime = Join(Join(setupFolder, ".."), "R2");
    header.roots = {target.AsUTF8String(), runtime.AsUTF8String()};
    LaunchUndo undo(journals, header);
    std::string why;
    bool copied = !journals.empty() && undo.Begin(why);
    if (!copied) MOQ_LOG("The launch's undo journal cannot be written%s%s\n", why.empty() ? "" : ": ", why.c_str());
    std::vector<std::string> staged;
    copied = copied && PayloadsManagerUtils::BlindCopyProxyFile(proxyPath, target, undo.Copies());
    copied = copied && StageOnce(extensionsFolder, target, ".data", undo.Copies(), staged);
    copied = copied && PatchRuntime(extensionsFolder, runtime, undo.Copies(), staged);
    copied = copied && CommitCopies(undo, proxyPath, target, staged);

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
        result = ErrorCodes::kRollBack;
        if (undo.Undo(why)) {
            record.rolledBack = true;
            MOQ_LOG("The copies beside the setup of %s were taken back: it is left as it was\n", code.c_str());
        } else {
            record.undoPending = true;
            MOQ_LOG("The copies beside the setup of %s could not all be taken back (%s): the next run finishes it\n",
                    code.c_str(), why.c_str());
        }
    } else {
        if (!undo.Keep(why)) MOQ_LOG("What the copies replaced could not all be removed (%s): the next run removes it\n", why.c_str());
        mCopiedFolders.insert(staged.begin(), staged.end());
    }
    record.result = result;
    RecordLaunch(record);
    MOQ_LOG("Returning from PayloadsManager::LaunchMainSetupAndInstallPatch with exit code: %d\n", result);
    return result;
}

int PayloadsManager::UpdateInstallDirInMoxaIfNeeded(moxaiSession* session, const std::string& parentCode) {
    if (session == nullptr) return kMoxaOK;
    int rc = kMoxaOK;
    auto folder = mapInstallDir.find(parentCode);
    if (folder != mapInstallDir.end()) {
        rc = moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainCurrent, "INSTALLDIR", folder->second.c_str());
        if (rc == kMoxaOK) {
            rc = moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainInstallation, "INSTALLDIR", folder->second.c_str());
        }
    }
    auto config = mapZTKConfigPath.find(parentCode);
    if (rc == kMoxaOK && config != mapZTKConfigPath.end()) {
        rc = moxaSetPayloadData(session, parentCode.c_str(), kMoxaDomainCurrent, "ZTKConfigPath", config->second.c_str());
    }
    if (rc == kMoxaOK) rc = moxaSessionCommit(session);
    if (rc != kMoxaOK) {
        // A moved product's folders are written whole or not at all.
        MOQ_LOG("The moved product %s could not be written to the installed-products store (store code %d)\n",
                parentCode.c_str(), rc);
        const int undone = moxaSessionRollback(session);
        if (undone != kMoxaOK) MOQ_LOG("Its partial writes could not be rolled back (store code %d)\n", undone);
    }
    return rc;
}

bool PayloadsManager::PatchRuntime(FileSystemPath& extensionsFolder, FileSystemPath& runtimeFolder, StagedCopy& staging,
                                   std::vector<std::string>& staged) {
    const FileSystemPath runtime = Join(extensionsFolder, "runtime");
    return !FileSystemUtils::Exists(runtime) || StageOnce(runtime, runtimeFolder, std::string(), staging, staged);
}

namespace {
std::string CopyKey(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix) {
    return source.AsUTF8String() + '\0' + target.AsUTF8String() + '\0' + suffix;
}
}  // namespace

bool PayloadsManager::StageOnce(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix,
                                StagedCopy& staging, std::vector<std::string>& staged) {
    // Every launch of a run copies the same folders: once per run is enough, once a launch kept them.
    const std::string key = CopyKey(source, target, suffix);
    if (mCopiedFolders.count(key)) return true;
    const bool ok = suffix.empty() ? PayloadsManagerUtils::BlindCopyFolder(source, target, staging)
                                   : PayloadsManagerUtils::BlindCopyExtensions(source, target, suffix, staging);
    if (ok) staged.push_back(key);
    return ok;
}

bool PayloadsManager::CommitCopies(LaunchUndo& undo, const FileSystemPath& proxyPath, const FileSystemPath& target,
                                   const std::vector<std::string>& staged) {
    std::string why;
    if (!undo.Commit(why)) {
        MOQ_LOG("The copies could not be put in place: %s\n", why.c_str());
        return false;
    }
    // The setup reads the copies: they must be what was signed, whatever the bundle holds now.
    const FileSystemPath proxyCopy = Join(Join(target, proxyPath.Parent().NameAsUTF8String()), proxyPath.NameAsUTF8String());
    if (!BundleVerifier::CopyOfFileMatches(proxyPath.AsUTF8String(), proxyCopy.AsUTF8String(), why)) {
        MOQ_LOG("The copy of the proxy is not what was signed: %s\n", why.c_str());
        return false;
    }
    for (const std::string& key : staged) {
        const size_t first = key.find('\0'), second = key.find('\0', first + 1);
        if (!BundleVerifier::CopiesMatch(key.substr(0, first), key.substr(first + 1, second - first - 1), key.substr(second + 1), why)) {
            MOQ_LOG("The copies are not what was signed: %s\n", why.c_str());
            return false;
        }
    }
    return true;
}

std::string PayloadsManager::InstallationName(size_t i) const {
    const PlanEntry& entry = mPlan[i];
    if (entry.installFolder.empty()) return entry.sessionID;
    // Two installations that name the same folder are told apart by their sessions.
    for (size_t j = 0; j < mPlan.size(); ++j) {
        if (j != i && mPlan[j].code == entry.code && mPlan[j].installFolder == entry.installFolder) {
            return entry.installFolder + " (" + entry.sessionID + ")";
        }
    }
    return entry.installFolder;
}

std::vector<PatchOutcome> PayloadsManager::Outcomes() const {
    MutexLock guard(mRecordsMutex);
    std::vector<PatchOutcome> outcomes;
    auto outcomeOf = [&outcomes](const std::string& code, const std::string& name) -> PatchOutcome& {
        for (PatchOutcome& outcome : outcomes) {
            if (outcome.code == code) return outcome;
        }
        outcomes.push_back(PatchOutcome());
        outcomes.back().code = code;
        outcomes.back().displayName = name;
        return outcomes.back();
    };
    auto add = [](PatchOutcome& outcome, const std::string& product, const std::string& folder, const std::string& session,
                  const char* state) -> PatchOutcome::Installation& {
        PatchOutcome::Installation installation;
        installation.product = product;
        installation.folder = folder;
        installation.sessionID = session;
        installation.state = state;
        outcome.installations.push_back(installation);
        return outcome.installations.back();
    };
    // Installed already where the plan left them out: they come first, as they came first.
    for (const HeldEntry& held : mHeldEntries) {
        PatchOutcome& outcome = outcomeOf(held.code, held.displayName);
        ++outcome.planned;
        outcome.installed.push_back(held.installFolder.empty() ? held.sessionID : held.installFolder);
        add(outcome, held.product, held.installFolder, held.sessionID, "installed").earlier = true;
    }
    for (size_t i = 0; i < mPlan.size(); ++i) {
        const PlanEntry& entry = mPlan[i];
        PatchOutcome& outcome = outcomeOf(entry.code, entry.displayName);
        ++outcome.planned;
        const std::string name = InstallationName(i);
        if (!entry.done) {
            outcome.notStarted.push_back(name);
            add(outcome, entry.product, entry.installFolder, entry.sessionID, "notStarted");
        } else if (entry.result == 0) {
            outcome.installed.push_back(name);
            add(outcome, entry.product, entry.installFolder, entry.sessionID, "installed");
        } else {
            outcome.failed.push_back(name);
            add(outcome, entry.product, entry.installFolder, entry.sessionID, "failed");
            if (!outcome.hasFailure) {
                for (const LaunchRecord& launch : mLaunches) {
                    if (launch.code == entry.code && launch.sessionID == entry.sessionID) outcome.firstFailure = launch;
                }
            }
            outcome.hasFailure = true;
        }
    }
    // No installation of its base product could take it.
    for (const auto& failed : mFailedPayloads) {
        bool known = false;
        for (const PatchOutcome& outcome : outcomes) known = known || outcome.code == failed.first;
        if (!known) outcomeOf(failed.first, failed.second).hasFailure = true;
    }
    for (PatchOutcome& outcome : outcomes) {
        std::vector<std::string> folders;
        for (const PatchOutcome::Installation& installation : outcome.installations) folders.push_back(installation.folder);
        const std::vector<std::string> shown = PatchOutcome::ShownFolders(folders);
        for (size_t k = 0; k < shown.size(); ++k) outcome.installations[k].shownFolder = shown[k];
    }
    return outcomes;
}

void PayloadsManager::RecordLaunch(const LaunchRecord& record) {
    MutexLock guard(mRecordsMutex);
    mLaunches.push_back(record);
}

bool PayloadsManager::SetupStillRunning() {
    std::set<std::string> folders;
    for (const PlanEntry& entry : Plan()) folders.insert(entry.setupFolder.AsUTF8String());
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
    MutexLock guard(manager->mRecordsMutex);
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
    MutexLock guard(manager->mRecordsMutex);
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
