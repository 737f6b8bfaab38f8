#include "PreInstallSurvey.h"

#include <chrono>
#include <map>

#include "ConflictPattern.h"
#include "FileSystemVolume.h"
#include "PayloadsManager.h"
#include "ProcessUtilsMac.h"
#include "TesmidConstants.h"

namespace {

void SurveyApplications(PreInstallSurvey& survey) {
    const std::vector<PayloadProxy::CONPROCESS>& entries = PayloadsManager::ConflictingProcesses();
    std::vector<std::pair<int, std::string> > running;
    if (entries.empty() || !ProcessUtilsMac::GetRunningProcesses(running)) return;
    std::map<std::pair<bool, std::string>, std::vector<int> > found;
    long budget = ConflictPattern::kStepBudget;
    for (const PayloadProxy::CONPROCESS& entry : entries) {
        ConflictPattern::Matcher pattern(entry.mProcessName, budget);
        const bool blocking = entry.mBlocking == "1";
        for (const auto& process : running) {
            if (!pattern.Matches(process.second)) continue;
            std::vector<int>& pids = found[std::make_pair(blocking, process.second)];
            if (pids.empty() || pids.back() != process.first) pids.push_back(process.first);
        }
    }
    for (auto& hit : found) {
        PreInstallSurvey::Application application;
        application.blocking = hit.first.first;
        application.name = hit.first.second;
        application.pids = hit.second;
        survey.applications.push_back(application);
    }
}

void SurveyVolumes(PreInstallSurvey& survey, PayloadsManager& manager) {
    for (const auto& entry : manager.PlannedBytesPerVolume()) {
        PreInstallSurvey::Volume volume;
        volume.root = entry.first;
        volume.plannedBytes = entry.second;
        volume.neededBytes = entry.second > UINT64_MAX / 2 ? UINT64_MAX : entry.second * 2;
        FileSystemPath root(entry.first);
        const std::optional<FileSystemVolume> measured = FileSystemVolume::Make(root);
        volume.measured = measured && measured->FreeSpaceInBytes(volume.freeBytes) && measured->FriendlyNameUTF8(volume.name);
        volume.enough = manager.IsDiskSpaceAvailable(root, entry.second);
        survey.volumes.push_back(volume);
    }
}

}  // namespace

std::shared_ptr<PreInstallSurvey> PreInstallSurvey::Take(PayloadsManager& manager) {
    std::shared_ptr<PreInstallSurvey> survey = std::make_shared<PreInstallSurvey>();
    survey->takenMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const char* name : {TesmidConstants::kSetupLockName, TesmidConstants::kBootstrapperLockName, TesmidConstants::kPatchLockName}) {
        survey->locks.push_back(NamedLockProbe::Probe(name));
    }
    SurveyApplications(*survey);
    SurveyVolumes(*survey, manager);
    return survey;
}

bool PreInstallSurvey::AnyLockBusy() const {
    for (const NamedLockProbe& lock : locks) {
        if (lock.state == NamedLockProbe::kBusy) return true;
    }
    return false;
}

bool PreInstallSurvey::AnyBlockingApplication() const {
    for (const Application& application : applications) {
        if (application.blocking) return true;
    }
    return false;
}
