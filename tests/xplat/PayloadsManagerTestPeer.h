// Lays out the records a pass would have written, for tests of what reads them (the page's
// methods, the check, the exit code) without running a pass.
#ifndef PAYLOADS_MANAGER_TEST_PEER_H
#define PAYLOADS_MANAGER_TEST_PEER_H

#include <map>
#include <string>
#include <vector>

#include "PayloadsManager.h"

class PayloadsManagerTestPeer {
public:
    typedef std::map<std::string, std::string> Names;
    static void SetPlan(PayloadsManager& m, std::vector<PlanEntry> plan) {
        MutexLock records(m.mRecordsMutex);
        m.mPlan = std::move(plan);
    }
    // Entries with only a folder and a size, as the volume checks read them.
    static void SetPlanFolders(PayloadsManager& m, const std::vector<std::string>& folders, const std::vector<uint64_t>& sizes) {
        std::vector<PlanEntry> plan(folders.size());
        for (size_t i = 0; i < plan.size(); ++i) {
            plan[i].installFolder = folders[i];
            plan[i].size = sizes.at(i);
        }
        SetPlan(m, plan);
    }
    static void SetHeld(PayloadsManager& m, std::vector<HeldEntry> held) {
        MutexLock records(m.mRecordsMutex);
        m.mHeldEntries = std::move(held);
    }
    static void SetLaunches(PayloadsManager& m, std::vector<LaunchRecord> launches) {
        MutexLock records(m.mRecordsMutex);
        m.mLaunches = std::move(launches);
    }
    static void SetFailed(PayloadsManager& m, Names failed) {
        MutexLock records(m.mRecordsMutex);
        m.mFailedPayloads = std::move(failed);
    }
    static void AddFailed(PayloadsManager& m, const std::string& code, const std::string& name) {
        MutexLock records(m.mRecordsMutex);
        m.mFailedPayloads[code] = name;
    }
    static void AddSucceeded(PayloadsManager& m, const std::string& code, const std::string& name) {
        MutexLock records(m.mRecordsMutex);
        m.mSuccessfulPayloads[code] = name;
    }
    static std::vector<int32_t> InstallResults(const PayloadsManager& m) {
        MutexLock records(m.mRecordsMutex);
        return m.mInstallResults;
    }
    static void SetConflictingProcesses(std::vector<PayloadProxy::CONPROCESS> entries) {
        PayloadsManager::sConflictingProcesses = std::move(entries);
    }
    // Where classification found base products moved: folders, and configuration files.
    static Names& MovedFolders() { return PayloadsManager::mapInstallDir; }
    static Names& MovedConfigPaths() { return PayloadsManager::mapZTKConfigPath; }
};

#endif
