// Pre-install checks, page error names and localized messages.
#include <boost/regex.hpp>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <stdexcept>

#include "ErrorCodes.h"
#include "FileSystemVolume.h"
#include "MOQLogger.h"
#include "NamedLock.h"
#include "PayloadsManager.h"
#include "ProcessUtilsMac.h"
#include "TesmidConstants.h"

namespace {

// Another process's hold, or our own: either way the lock cannot be taken now.
bool AnyFamilyInstallerRunning() {
    return NamedLock::IsLocked(TesmidConstants::kSetupLockName) || NamedLock::IsLocked(TesmidConstants::kBootstrapperLockName);
}

// Boost.Regex's own limit on the states a match may visit grows with the square
// of the pattern's length: a long pattern of nested repetitions runs for seconds
// before it throws. Every step the matcher takes over the name goes through this
// iterator, which throws once a budget shared by one whole check is spent.
class BudgetExhausted : public std::runtime_error {
public:
    BudgetExhausted() : std::runtime_error("pattern matching budget spent") {}
};

class BudgetedIterator {
public:
    typedef std::random_access_iterator_tag iterator_category;
    typedef char value_type;
    typedef std::ptrdiff_t difference_type;
    typedef const char* pointer;
    typedef const char& reference;

    BudgetedIterator() : mAt(nullptr), mBudget(nullptr) {}
    BudgetedIterator(const char* at, long* budget) : mAt(at), mBudget(budget) {}

    reference operator*() const {
        Spend();
        return *mAt;
    }
    reference operator[](difference_type n) const {
        Spend();
        return mAt[n];
    }
    BudgetedIterator& operator++() {
        Spend();
        ++mAt;
        return *this;
    }
    BudgetedIterator operator++(int) {
        BudgetedIterator before(*this);
        ++*this;
        return before;
    }
    BudgetedIterator& operator--() {
        Spend();
        --mAt;
        return *this;
    }
    BudgetedIterator operator--(int) {
        BudgetedIterator before(*this);
        --*this;
        return before;
    }
    BudgetedIterator& operator+=(difference_type n) {
        Spend();
        mAt += n;
        return *this;
    }
    BudgetedIterator& operator-=(difference_type n) {
        Spend();
        mAt -= n;
        return *this;
    }
    BudgetedIterator operator+(difference_type n) const { return BudgetedIterator(*this) += n; }
    BudgetedIterator operator-(difference_type n) const { return BudgetedIterator(*this) -= n; }
    difference_type operator-(const BudgetedIterator& other) const { return mAt - other.mAt; }
    bool operator==(const BudgetedIterator& other) const { return mAt == other.mAt; }
    bool operator!=(const BudgetedIterator& other) const { return mAt != other.mAt; }
    bool operator<(const BudgetedIterator& other) const { return mAt < other.mAt; }
    bool operator>(const BudgetedIterator& other) const { return mAt > other.mAt; }
    bool operator<=(const BudgetedIterator& other) const { return mAt <= other.mAt; }
    bool operator>=(const BudgetedIterator& other) const { return mAt >= other.mAt; }

private:
    void Spend() const {
        if (mBudget != nullptr && --*mBudget < 0) throw BudgetExhausted();
    }
    const char* mAt;
    long* mBudget;
};

// Steps of all the matches of one check: far above what real names and patterns
// take (tens of steps each), a few milliseconds of work.
const long kMatchStepBudget = 4000000;

// A conflicting-process name is a pattern that the executable name must match
// whole, with ".*" after it. A name that does not compile, or whose match throws
// (Boost.Regex's own bound, or the check's budget is spent), is matched as written
// instead: a prefix.
class ProcessNamePattern {
public:
    ProcessNamePattern(const std::string& name, long& budget) : mName(name), mLiteral(false), mBudget(budget) {
        try {
            mPattern = boost::regex(name + ".*", boost::regex::perl);
        } catch (const std::exception&) {
            TakeLiterally("is not a valid pattern");
        }
    }
    bool Matches(const std::string& executable) {
        if (!mLiteral && mBudget <= 0) TakeLiterally("comes after the matching budget was spent");
        if (!mLiteral) {
            try {
                const BudgetedIterator first(executable.data(), &mBudget);
                const BudgetedIterator last(executable.data() + executable.size(), &mBudget);
                boost::match_results<BudgetedIterator> match;
                return boost::regex_match(first, last, match, mPattern);
            } catch (const std::exception&) {
                TakeLiterally("cannot be matched within the bound");
            }
        }
        return executable.compare(0, mName.size(), mName) == 0;
    }

private:
    void TakeLiterally(const char* why) {
        mLiteral = true;
        MOQ_LOG("Conflicting process name %s %s, matching it literally\n", mName.c_str(), why);
    }
    std::string mName;
    bool mLiteral;
    long& mBudget;
    boost::regex mPattern;
};

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
    if (NamedLock::IsLocked(TesmidConstants::kSetupLockName) || NamedLock::IsLocked(TesmidConstants::kBootstrapperLockName) ||
        NamedLock::IsLocked(TesmidConstants::kPatchLockName) || !NamedLock::AcquireLock(TesmidConstants::kPatchLockName, holder)) {
        mErrorCode = ErrorCodes::kAnotherInstanceRunning;
        return false;
    }
    return true;
}

bool PayloadsManager::IsDiskSpaceAvailable(FileSystemPath& path, uint64_t size) {
    uint64_t capacity = 0, free = 0;
    std::string name;
    FileSystemPath root("/");
    try {
        FileSystemVolume volume(path);
        if (!volume.CapacityInBytes(capacity) || !volume.FreeSpaceInBytes(free) || !volume.FriendlyNameUTF8(name) ||
            !volume.RootPath(root)) {
            return true;
        }
    } catch (const std::exception&) {
        return true;  // no volume information: the check does not block
    }
    const uint64_t doubled = size > UINT64_MAX / 2 ? UINT64_MAX : size * 2;
    return doubled < free;
}

bool PayloadsManager::GetDiskSpaceIfNeeded(std::string& spaceRequired, std::string& volumeName) {
    std::map<std::string, uint64_t> totals;
    for (size_t i = 0; i < mPlanInstallFolders.size() && i < mPlanSizes.size(); ++i) {
        try {
            FileSystemVolume volume{FileSystemPath(mPlanInstallFolders[i])};
            FileSystemPath root("/");
            volume.RootPath(root);
            uint64_t& total = totals[root.AsUTF8String()];
            total = mPlanSizes[i] > UINT64_MAX - total ? UINT64_MAX : total + mPlanSizes[i];
        } catch (const std::exception&) {
            // No volume for this entry: nothing to check it against.
        }
    }
    for (const auto& entry : totals) {
        FileSystemPath root(entry.first);
        if (IsDiskSpaceAvailable(root, entry.second)) continue;
        const uint64_t doubled = entry.second > UINT64_MAX / 2 ? UINT64_MAX : entry.second * 2;
        spaceRequired = std::to_string(doubled / 1048576);
        volumeName.clear();
        try {
            FileSystemVolume(root).FriendlyNameUTF8(volumeName);
        } catch (const std::exception&) {
        }
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
    long budget = kMatchStepBudget;
    for (const PayloadProxy::CONPROCESS& entry : entries) {
        ProcessNamePattern pattern(entry.mProcessName, budget);
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
    if (AnyFamilyInstallerRunning()) blockingNames.push_back("Setup");

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
            if (GetFailedPayloads(failed)) {
                for (const auto& entry : failed) message += (message.empty() ? "" : ",") + entry.second;
                message += ":";
            }
            message += Lookup(dictionary, "locFailedToInstall", found);
            break;
        }
        case ErrorCodes::kConflictingProcessRunning: {
            const std::string plural = Lookup(dictionary, "locConflictingProcessErrorBody", found);
            if (!found) break;
            std::string blocking, warning;
            IsConflictingProcess(sVecConProc, blocking, warning);
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
