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
#include "ProgressResult.h"

class InstallerEngine;
class NamedLock;
namespace PayloadsManagerUtils {
class ClassificationReads;
}
class PayloadAccessor;
class PreInstallSurvey;
struct moxaiSession;

// Threads. The main thread owns the manager and runs the page's methods. A background
// pass (preparation: building the plan; installation: running it) runs on one worker
// thread at a time and is the only writer of the plan, of the success and failure records
// and of the install results, while the main thread may read them at any moment. Every
// write and every read of those records therefore holds mRecordsMutex, briefly: readers
// get a consistent copy (GetSuccessfulPayloads, GetFailedPayloads, PlanInstallFolders,
// PlanDone, PlanSizes, GetDiskSpaceIfNeeded), never a view of a half-written entry; the
// compiler checks it (GUARDED_BY, Clang's -Wthread-safety). The progress record has its own
// lock (GuardedProgress); mPrepared and mContinueInstall are atomic.
class PayloadsManager {
public:
    typedef std::map<std::string, PayloadAccessor*> PayloadMap;

    virtual ~PayloadsManager();

    static bool Initialize(FileSystemPath& installerRoot, PayloadProxyFileConstants::ProxyFileType type);
    static PayloadsManager* Instance();
    static void Release();

    bool LoadSetupXMLData();

    bool GetUpdatesList(std::map<std::string, std::string>& out) const;
    bool GetAlreadyUpdatedList(std::map<std::string, std::string>& out) const;
    bool GetHigherUpdateDetectedList(std::map<std::string, std::string>& out) const;
    bool GetParentNotInstalledUpdatedList(std::map<std::string, std::string>& out) const;
    bool GetSuccessfulPayloads(std::map<std::string, std::string>& out) const;
    bool GetFailedPayloads(std::map<std::string, std::string>& out) const;
    bool GetHiddenPayloadList(std::vector<std::string>& out) const;
    // Copies of the plan, for readers on another thread than the pass's.
    std::vector<std::string> PlanInstallFolders() const;
    std::vector<int32_t> PlanDone() const;
    std::vector<uint64_t> PlanSizes() const;
    std::vector<LaunchRecord> Launches() const;
    // Per patch of this session's plans, in plan order: where it was installed, where it
    // failed and where the pass stopped before it.
    std::vector<PatchOutcome> Outcomes() const;
    // The plan's bytes per volume root; entries whose folder no volume holds are left out.
    std::map<std::string, uint64_t> PlannedBytesPerVolume() const;
    PayloadMap::const_iterator PayloadsBegin() const { return mPayloads.begin(); }
    PayloadMap::const_iterator PayloadsEnd() const { return mPayloads.end(); }

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
    static int GetErrorCode();
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

    static PayloadsManager* singleton;
    static std::atomic<int> mErrorCode;
    static std::vector<PayloadProxy::CONPROCESS> sVecConProc;
    static FileSystemPath mSetupXMLPath;
    static std::map<std::string, std::string> mapInstallDir;
    static std::map<std::string, std::string> mapZTKConfigPath;

    std::string mSessionProductName;
    PayloadsManagerSetup::DataStore* mSetupData;
    PayloadMap mPayloads;
    GuardedProgress mProgress;
    std::atomic<bool> mContinueInstall;
    LaunchGate mLaunchGate;  // held while the user is asked whether to stop
    std::vector<std::string> mAlreadyInstalledCodes;
    std::map<std::string, std::string> mSuccessfulPayloads GUARDED_BY(mRecordsMutex);
    std::map<std::string, std::string> mFailedPayloads GUARDED_BY(mRecordsMutex);
    std::vector<int32_t> mInstallResults GUARDED_BY(mRecordsMutex);
    mutable Mutex mRecordsMutex;  // the plan, the success and failure records, the install results
    std::atomic<bool> mPrepared;
    std::shared_ptr<NamedLock> mPatchLock;

    // The installation plan: parallel vectors, one entry per patch and base installation.
    std::vector<std::string> mPlanCodes;
    std::vector<std::string> mPlanSessionIDs;
    std::vector<std::string> mPlanDisplayNames;
    std::vector<std::string> mPlanParentCodes;
    std::vector<FileSystemPath> mPlanSetupFolders;
    std::vector<std::string> mPlanInstallFolders GUARDED_BY(mRecordsMutex);  // empty when unknown
    std::vector<FileSystemPath> mPlanExtensionsFolders;
    std::vector<FileSystemPath> mPlanProxyPaths;
    std::vector<uint64_t> mPlanSizes GUARDED_BY(mRecordsMutex);
    std::vector<int32_t> mPlanDone GUARDED_BY(mRecordsMutex);
    std::vector<int32_t> mPlanResults GUARDED_BY(mRecordsMutex);  // per entry: the launch's code, -1 before it ran
    // (patch, session ID) installed by an earlier pass of this session, with the
    // installation's name: a retry does not launch them again.
    std::map<std::pair<std::string, std::string>, std::string> mInstalledEntries GUARDED_BY(mRecordsMutex);
    std::map<std::string, PayloadProxy::DataStore*> mMediaRecords;
    std::set<std::string> mCopiedFolders;  // source, target and suffix of this run's folder copies
    unsigned mSetupTimeoutSeconds = 0;     // --setupTimeout; 0: a setup may run as long as it takes

    // For the run's report: every proxy's verdict in load order, every launch, the checks of a check run.
    std::vector<PayloadVerdict> mVerdicts;
    std::vector<LaunchRecord> mLaunches GUARDED_BY(mRecordsMutex);
    std::shared_ptr<PreInstallSurvey> mSurvey;

private:
    PayloadsManager();
    PayloadsManager(const PayloadsManager&) = delete;
    PayloadsManager& operator=(const PayloadsManager&) = delete;

    FileSystemPath mInstallerRoot;

    bool CollectList(const char* operation, const char* heading, bool PayloadAccessor::*flag, bool withParent,
                     std::map<std::string, std::string>& out) const;
    void ResetPlan();
    void ClearMediaRecords();
    // common: the family's shared folder; without one no cached installer can be found.
    void Classify(std::unique_ptr<PayloadAccessor>& owned, PayloadsManagerUtils::ClassificationReads& reads,
                  moxaiSession* config, bool haveSetup);
    void PlanPayloads(const std::optional<FileSystemPath>& common, int& result);
    // What one installation of the base product made of a patch.
    enum Planned { kPlanned, kGated, kRecordedFailed, kSkipped };
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
    bool SetupStillRunning();
    void RecordLaunch(const LaunchRecord& record);
    std::string InstallationName(size_t planIndex) const REQUIRES(mRecordsMutex);
    int LaunchPlanEntry(size_t index, moxaiSession*& session) EXCLUDES(mRecordsMutex);
    bool PlanEntryDone(size_t index) const EXCLUDES(mRecordsMutex);
};

#endif
