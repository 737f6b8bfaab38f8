// Pre-install checks, page error names and localized messages.
#include <algorithm>

#include "ConflictPattern.h"
#include "ErrorCodes.h"
#include "FamilyLockQuery.h"
#include "FileSystemVolume.h"
#include "MOQLogger.h"
#include "NamedLock.h"
#include "PayloadsManager.h"
#include "ProcessUtilsMac.h"
#include "TesmidConstants.h"

namespace {

std::vector<std::string> SortedUnique(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

void ReplaceFirst(std::string& text, const std::string& placeholder, const std::string& value) {
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

std::string Lookup(const std::map<std::string, std::string>& dictionary, const std::string& key, bool& found) {
    auto entry = dictionary.find(key);
    found = entry != dictionary.end();
    return found ? entry->second : std::string();
}

}  // namespace

bool PayloadsManager::AcquireSetupLock() {
    static std::shared_ptr<NamedLock> sHolderWithoutManager;
    std::shared_ptr<NamedLock>& holder = singleton != nullptr ? singleton->mPatchLock : sHolderWithoutManager;
    // Our own hold of the patch lock is no other installer: a second try (Retry) keeps it.
    const bool held = holder != nullptr;
    if (FamilyLockQuery::AnyInstallerRunning() ||
        (!held && (FamilyLockQuery::IsLocked(TesmidConstants::kPatchLockName) ||
                   !NamedLock::AcquireLock(TesmidConstants::kPatchLockName, holder)))) {
        mErrorCode = ErrorCodes::kAnotherInstanceRunning;
        return false;
    }
    return true;
}

bool PayloadsManager::IsDiskSpaceAvailable(FileSystemPath& path, uint64_t size) {
    uint64_t free = 0;
    const std::optional<FileSystemVolume> volume = FileSystemVolume::Make(path);
    // No volume information: the check does not block. Only the free space is asked
    // for: the volume's name (a walk of the labels folder) is looked up when it is shown.
    if (!volume || !volume->FreeSpaceInBytes(free)) return true;
    const uint64_t doubled = size > UINT64_MAX / 2 ? UINT64_MAX : size * 2;
    return doubled < free;
}

std::map<std::string, uint64_t> PayloadsManager::PlannedBytesPerVolume() const {
    const std::vector<PlanEntry> plan = Plan();
    std::map<std::string, uint64_t> totals;
    // Patches of one product share its folder: each folder's volume is looked up once.
    std::map<std::string, std::optional<std::string> > roots;
    for (const PlanEntry& entry : plan) {
        auto known = roots.find(entry.installFolder);
        if (known == roots.end()) {
            // An entry without a volume has nothing to be checked against.
            const std::optional<FileSystemPath> folder = FileSystemPath::Make(entry.installFolder);
            const std::optional<FileSystemVolume> volume = folder ? FileSystemVolume::Make(*folder) : std::nullopt;
            FileSystemPath root = folder ? *folder : FileSystemPath();
            std::optional<std::string> found;
            if (volume && volume->RootPath(root)) found = root.AsUTF8String();
            known = roots.emplace(entry.installFolder, found).first;
        }
        if (!known->second) continue;
        uint64_t& total = totals[*known->second];
        total = entry.size > UINT64_MAX - total ? UINT64_MAX : total + entry.size;
    }
    return totals;
}

bool PayloadsManager::GetDiskSpaceIfNeeded(std::string& spaceRequired, std::string& volumeName) {
    for (const auto& entry : PlannedBytesPerVolume()) {
        FileSystemPath root(entry.first);
        if (IsDiskSpaceAvailable(root, entry.second)) continue;
        const uint64_t doubled = entry.second > UINT64_MAX / 2 ? UINT64_MAX : entry.second * 2;
        spaceRequired = std::to_string(doubled / 1048576);
        volumeName.clear();
        if (const std::optional<FileSystemVolume> volume = FileSystemVolume::Make(root)) volume->FriendlyNameUTF8(volumeName);
        MOQ_LOG("Disk Space Req Vol=%s Space=%sMB\n", volumeName.c_str(), spaceRequired.c_str());
        return true;
    }
    return false;
}

bool PayloadsManager::ImplGetRunningApplicationNamePairs(std::vector<std::pair<std::string, std::string> >& pairs) {
    pairs.clear();
    return ProcessUtilsMac::GetRunningApplicationNamePairsOnMac(pairs);
}

void PayloadsManager::MatchConflictingProcesses(const std::vector<PayloadProxy::CONPROCESS>& entries,
                                                const std::vector<std::pair<std::string, std::string> >& running,
                                                std::vector<std::string>& blockingNames,
                                                std::vector<std::string>& warningNames) {
    long budget = ConflictPattern::kStepBudget;
    for (const PayloadProxy::CONPROCESS& entry : entries) {
        ConflictPattern::Matcher pattern(entry.mProcessName, budget);
        for (const auto& application : running) {
            if (!pattern.Matches(application.first)) continue;
            (entry.mBlocking == "1" ? blockingNames : warningNames).push_back(application.second);
        }
    }
}

bool PayloadsManager::IsConflictingProcess(const std::vector<PayloadProxy::CONPROCESS>& entries, std::string& blocking,
                                           std::string& warning) {
    std::vector<std::string> blockingNames, warningNames;
    std::vector<std::pair<std::string, std::string> > running;
    if (!entries.empty() && ImplGetRunningApplicationNamePairs(running)) {
        MatchConflictingProcesses(entries, running, blockingNames, warningNames);
    }
    if (FamilyLockQuery::AnyInstallerRunning()) blockingNames.push_back("Setup");

    bool answer = false;
    GuardedProgress scratch;
    GuardedProgress& progress = singleton != nullptr ? singleton->mProgress : scratch;
    if (blockingNames.empty()) {
        MapErrorCodeToJSError(progress, 0);
    } else {
        MOQ_LOG("Blocking Apps\n");
        for (const std::string& name : SortedUnique(blockingNames)) {
            if (blocking.find(name) != std::string::npos) continue;
            blocking += "<br>" + name;
            MOQ_LOG("%s\n", name.c_str());
            MapErrorCodeToJSError(progress, ErrorCodes::kConflictingProcessRunning);
            answer = true;
        }
    }
    if (!warningNames.empty()) {
        MOQ_LOG("Warning Apps\n");
        for (const std::string& name : SortedUnique(warningNames)) {
            if (warning.find(name) != std::string::npos) continue;
            warning += "<br>" + name;
            MOQ_LOG("%s\n", name.c_str());
            answer = true;
        }
    }
    return answer;
}

void PayloadsManager::MapErrorCodeToJSError(GuardedProgress& progress, int code) {
    MOQ_LOG("Called PayloadsManager::MapErrorCodeToJSError with result %d\n", code);
    mErrorCode = code;
    switch (code) {
        case ErrorCodes::kHigherPatchInstalled:
        case ErrorCodes::kBasePayloadNotInstalled:
        case ErrorCodes::kAlreadyInstalled: break;
        case ErrorCodes::kNotEnoughDiskSpace: progress.SetErrorName("kNotEnoughDiskSpace"); break;
        case ErrorCodes::kRollBack:
        case ErrorCodes::kRollBackAlternate: progress.SetErrorName("kRollBack"); break;
        case ErrorCodes::kConflictingProcessRunning: progress.SetErrorName("kConflictingProcessRunning"); break;
        case ErrorCodes::kMOXADBError: progress.SetErrorName("kMOXADBError"); break;
        default: progress.SetErrorName(""); break;
    }
    MOQ_LOG("Returning from PayloadsManager::MapErrorCodeToJSError\n");
}

std::string PayloadsManager::GetLocalizedErrorString(std::map<std::string, std::string> dictionary) {
    std::string message;
    bool found = false;
    switch (mErrorCode.load()) {
        case ErrorCodes::kNotEnoughDiskSpace: {
            std::string space, volume;
            GetDiskSpaceIfNeeded(space, volume);
            message = Lookup(dictionary, "locnotEnoughDiskSpaceBody", found);
            if (found) {
                ReplaceFirst(message, "[spaceReq]", space);
                ReplaceFirst(message, "[volume]", volume);
            }
            break;
        }
        case ErrorCodes::kHigherPatchInstalled: message = Lookup(dictionary, "locHigherPatchError", found); break;
        case ErrorCodes::kBasePayloadNotInstalled: {
            std::map<std::string, std::string> missing;
            std::string products;
            if (GetParentNotInstalledUpdatedList(missing)) {
                for (const auto& entry : missing) products += (products.empty() ? "" : ",") + entry.second;
                products += " : ";
            }
            message = Lookup(dictionary, "locBasePayloadError", found);
            ReplaceFirst(message, "[productName]", products);
            break;
        }
        case ErrorCodes::kRollBack: {
            std::map<std::string, std::string> failed;
            std::string names;
            const bool any = GetFailedPayloads(failed);
            for (const auto& entry : failed) names += (names.empty() ? "" : ",") + entry.second;
            const std::string text = Lookup(dictionary, "locFailedToInstall", found);
            // A sentence with a place for the names reads right in every language.
            if (text.find("[productName]") != std::string::npos) {
                message = text;
                ReplaceFirst(message, "[productName]", names);
                break;
            }
            if (any) message = names + ":";
            message += text;
            break;
        }
        case ErrorCodes::kConflictingProcessRunning: {
            const std::string plural = Lookup(dictionary, "locConflictingProcessErrorBody", found);
            if (!found) break;
            std::string blocking, warning;
            IsConflictingProcess(sConflictingProcesses, blocking, warning);
            if (blocking.empty()) break;
            int replaced = 0;
            for (size_t at = blocking.find("<br>"); at != std::string::npos; at = blocking.find("<br>", at + 2)) {
                blocking.replace(at, 4, "\r\n");
                ++replaced;
            }
            const std::string body = replaced <= 1 ? Lookup(dictionary, "locConflictingProcessErrorBodySing", found) : plural;
            if (replaced <= 1 && !found) break;
            message = body + blocking;
            break;
        }
        case ErrorCodes::kAnotherInstanceRunning:
            message = Lookup(dictionary, "locSetupRunningBody", found);
            ReplaceFirst(message, "[productName]", mSessionProductName);
            break;
        default: break;
    }
    return message;
}
