// The process-wide patch orchestrator: classification, checks, plan and launches.
#ifndef PAYLOADS_MANAGER_H
#define PAYLOADS_MANAGER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FileSystemPath.h"
#include "LaunchGate.h"
#include "LaunchUndo.h"
#include "LaunchRecord.h"
#include "Mutex.h"
#include "PatchOutcome.h"
#include "PayloadIteration.h"
#include "PayloadVerdict.h"
#include "PayloadProxy.h"
#include "PayloadsManagerSetup.h"
#include "PlanEntry.h"
#include "ProgressResult.h"
#include "ThreadChecker.h"

class InstallerEngine;
class NamedLock;
namespace PayloadsManagerUtils {
class ClassificationReads;
}
class PayloadAccessor;
class PreInstallSurvey;
struct moxaiSession;

// Threads. The main thread makes the manager, classifies the bundle's patches and runs the
// page's methods; what it wrote then (the patches, their verdicts, the setup description) is
// only read afterwards. A background pass (preparation: building the plan; installation:
// running it) runs on one worker thread at a time and is the only writer of the plan, of the
// success and failure records and of the launches, while the main thread may read them at any
// moment: all of those are guarded by mRecordsMutex, held briefly, and readers get copies
// (Plan, Outcomes, GetSuccessfulPayloads, ...), never a view of a half-written entry. Clang's
// -Wthread-safety checks it. The progress record has its own lock (GuardedProgress); the
// stop request and the prepared flag are atomic. What only the main thread may call checks so
// in debug builds.
class PayloadsManager {
public:
    typedef std::map<std::string, PayloadAccessor*> PayloadMap;

    virtual ~PayloadsManager();

    static bool Initialize(FileSystemPath& installerRoot, PayloadProxyFileConstants::ProxyFileType type);
    static PayloadsManager* Instance();
    static void Release();

    bool LoadSetupXMLData();

    // The classification, as the main thread left it.
    bool GetUpdatesList(std::map<std::string, std::string>& out) const;
    bool GetAlreadyUpdatedList(std::map<std::string, std::string>& out) const;
    bool GetHigherUpdateDetectedList(std::map<std::string, std::string>& out) const;
    bool GetParentNotInstalledUpdatedList(std::map<std::string, std::string>& out) const;
    bool GetHiddenPayloadList(std::vector<std::string>& out) const;
    bool IsHidden(const std::string& code) const;  // setup.xml shows it nowhere
    const PayloadMap& Payloads() const { return mPayloads; }
    const std::vector<std::string>& AlreadyInstalledCodes() const { return mAlreadyInstalledCodes; }
    const std::vector<PayloadVerdict>& Verdicts() const { return mVerdicts; }  // every proxy's, in load order
    const std::string& SessionProductName() const { return mSessionProductName; }
    // The conflicting-process entries of every loaded patch.
    static const std::vector<PayloadProxy::CONPROCESS>& ConflictingProcesses() { return sConflictingProcesses; }
    // Where classification found a base product moved from the folder the store names.
    static void NoteMovedInstallation(const std::string& base, const std::string& media, const std::string& folder,
                                      const std::string& configPath);

    // What the passes wrote, copied for a reader on any thread.
    bool GetSuccessfulPayloads(std::map<std::string, std::string>& out) const;
    bool GetFailedPayloads(std::map<std::string, std::string>& out) const;
    std::vector<PlanEntry> Plan() const;
    std::vector<LaunchRecord> Launches() const;
    std::vector<HeldEntry> HeldEntries() const;
    // Per patch of this session's plans, in plan order: where it was installed, where it
    // failed and where the pass stopped before it.
    std::vector<PatchOutcome> Outcomes() const;
    // The plan's bytes per volume root; entries whose folder no volume holds are left out.
    std::map<std::string, uint64_t> PlannedBytesPerVolume() const;

    // The run's controls.
    GuardedProgress& Progress() { return mProgress; }
    LaunchGate& Gate() { return mLaunchGate; }  // held while the user is asked whether to stop
    bool ContinueInstall() const { return mContinueInstall.load(); }
    void SetContinueInstall(bool go) { mContinueInstall = go; }  // false: the running setup ends, no other starts
    bool Prepared() const { return mPrepared.load(); }
    void RequirePreparation();  // the next pass plans again
    void SetSetupTimeout(unsigned seconds);  // 0: a setup may run as long as it takes
    bool HoldsPatchLock() const { return mPatchLock != nullptr; }
    // The checks of a check run, for its report.
    std::shared_ptr<PreInstallSurvey> Survey() const { return mSurvey; }
    void SetSurvey(std::shared_ptr<PreInstallSurvey> survey);

    // Pre-install checks and error mapping.
    static bool AcquireSetupLock();
    bool IsDiskSpaceAvailable(FileSystemPath& path, uint64_t size);
    bool GetDiskSpaceIfNeeded(std::string& spaceRequired, std::string& volumeName);
    static bool IsConflictingProcess(const std::vector<PayloadProxy::CONPROCESS>& entries, std::string& blocking,
                                     std::string& warning);
    // Display names of the running applications (executable, display name) that the
    // entries name, blocking ones and warning ones apart, in the order found.
    static void MatchConflictingProcesses(const std::vector<PayloadProxy::CONPROCESS>& entries,
                                          const std::vector<std::pair<std::string, std::string> >& running,
                                          std::vector<std::string>& blockingNames, std::vector<std::string>& warningNames);
    static bool ImplGetRunningApplicationNamePairs(std::vector<std::pair<std::string, std::string> >& pairs);
    static void MapErrorCodeToJSError(GuardedProgress& progress, int code);
    std::string GetLocalizedErrorString(std::map<std::string, std::string> dictionary);

    // Installation.
    int InstallPayload(InstallerEngine* engine, bool prepareOnly, bool reset);
    int ProcessPayloads(InstallerEngine* engine, std::map<std::string, int>& results);
    int LaunchMainSetupAndInstallPatch(const std::string& code, const std::string& parentCode, moxaiSession*& session,
                                       const std::string& sessionID, FileSystemPath setupFolder,
                                       const std::string& installFolder, FileSystemPath extensionsFolder, uint64_t size,
                                       const std::string& displayName, int start, int end, FileSystemPath proxyPath);
    // The store's code; a failed write is logged and rolled back, and the session keeps it.
    int UpdateInstallDirInMoxaIfNeeded(moxaiSession* session, const std::string& parentCode);
    // False when the runtime files could not all be staged; staged gets the copy's key when it
    // was made by this launch.
    bool PatchRuntime(FileSystemPath& extensionsFolder, FileSystemPath& runtimeFolder, StagedCopy& staging,
                      std::vector<std::string>& staged);
    // The session's code from what the passes recorded.
    static int GetErrorCode();
    // The code as last set, without consulting the records.
    static int LastErrorCode() { return mErrorCode.load(); }
    static void SetErrorCode(int code) { mErrorCode = code; }
    // The code of a session whose manager could not be created: 31 when the store
    // could not be opened or read, 34 when another writer held it, else the unknown
    // error; never 0.
    static int InitializationFailureCode();
    static int CheckOptionalPayloadFailure();

    // Nothing to do on this platform.
    bool GetAllUsersTempPath(std::string&) { return false; }
    bool UpdateMoxaWithVersion() { return false; }
    bool PreserveDACL(std::string) { return false; }
    bool SubmitDACL(std::string) { return false; }
    bool DeleteUnwantedStream(std::string) { return false; }

private:
    friend class PayloadsManagerTestPeer;  // lays out records for the page's and the check's tests

    PayloadsManager();
    PayloadsManager(const PayloadsManager&) = delete;
    PayloadsManager& operator=(const PayloadsManager&) = delete;

    static PayloadsManager* singleton;
    static std::atomic<int> mErrorCode;
    static std::vector<PayloadProxy::CONPROCESS> sConflictingProcesses;
    static FileSystemPath mSetupXMLPath;
    static std::map<std::string, std::string> mapInstallDir;
    static std::map<std::string, std::string> mapZTKConfigPath;

    ThreadChecker mMainThread;
    FileSystemPath mInstallerRoot;
    // Written by the main thread before any pass.
    std::string mSessionProductName;
    PayloadsManagerSetup::DataStore* mSetupData;
    PayloadMap mPayloads;
    std::vector<std::string> mAlreadyInstalledCodes;
    std::vector<PayloadVerdict> mVerdicts;
    std::shared_ptr<PreInstallSurvey> mSurvey;
    unsigned mSetupTimeoutSeconds = 0;
    std::shared_ptr<NamedLock> mPatchLock;
    // Each with its own guard.
    GuardedProgress mProgress;
    std::atomic<bool> mContinueInstall;
    LaunchGate mLaunchGate;
    std::atomic<bool> mPrepared;
    // Only the pass's thread uses these, between its start and its end.
    std::map<std::string, PayloadProxy::DataStore*> mMediaRecords;
    std::set<std::string> mCopiedFolders;  // source, target and suffix of this run's folder copies

    mutable Mutex mRecordsMutex;
    std::vector<PlanEntry> mPlan GUARDED_BY(mRecordsMutex);
    std::vector<HeldEntry> mHeldEntries GUARDED_BY(mRecordsMutex);
    std::map<std::string, std::string> mSuccessfulPayloads GUARDED_BY(mRecordsMutex);
    std::map<std::string, std::string> mFailedPayloads GUARDED_BY(mRecordsMutex);
    std::vector<int32_t> mInstallResults GUARDED_BY(mRecordsMutex);
    std::vector<LaunchRecord> mLaunches GUARDED_BY(mRecordsMutex);
    // (patch, session ID) installed by an earlier pass of this session, with the
    // installation's name: a retry does not launch them again.
    std::map<std::pair<std::string, std::string>, std::string> mInstalledEntries GUARDED_BY(mRecordsMutex);

    bool CollectList(const char* operation, const char* heading, bool PayloadAccessor::*flag, bool withParent,
                     std::map<std::string, std::string>& out) const;
    void ResetPlan();
    void ClearMediaRecords();
    // common: the family's shared folder; without one no cached installer can be found.
    void Classify(std::unique_ptr<PayloadAccessor>& owned, PayloadsManagerUtils::ClassificationReads& reads,
                  moxaiSession* config, bool haveSetup);
    void PlanPayloads(const std::optional<FileSystemPath>& common, int& result);
    // What one installation of the base product made of a patch.
    enum Planned { kPlanned, kGated, kRecordedFailed, kSkipped, kHeld };
    void PlanPatch(const PayloadAccessor& accessor, moxaiSession* session, const std::vector<std::string>& collections,
                   const std::optional<FileSystemPath>& common, int& result);
    Planned PlanInstallation(const PayloadAccessor& accessor, moxaiSession* session, const std::string& collection,
                             const std::optional<FileSystemPath>& common, int& result);
    // The media description of a cached installer, kept in mMediaRecords; null when it cannot be loaded.
    const PayloadProxy::DataStore* LoadMediaRecord(const FileSystemPath& setupFolder, const std::string& folderName,
                                                   const std::string& proxyName, const std::string& collection);
    bool StageOnce(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix,
                   StagedCopy& staging, std::vector<std::string>& staged);
    // The launch's copies in place and what was signed; false (why logged) otherwise.
    bool CommitCopies(LaunchUndo& undo, const FileSystemPath& proxyPath, const FileSystemPath& target,
                      const std::vector<std::string>& staged);
    bool SetupStillRunning() EXCLUDES(mRecordsMutex);
    void RecordLaunch(const LaunchRecord& record) EXCLUDES(mRecordsMutex);
    std::string InstallationName(size_t planIndex) const REQUIRES(mRecordsMutex);
    int LaunchPlanEntry(size_t index, moxaiSession*& session) EXCLUDES(mRecordsMutex);
    bool PlanEntryDone(size_t index) const EXCLUDES(mRecordsMutex);
    size_t PlanSize() const EXCLUDES(mRecordsMutex);
};

#endif
