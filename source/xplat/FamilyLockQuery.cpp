#include "FamilyLockQuery.h"

#include <utility>

#include "NamedLock.h"
#include "TesmidConstants.h"

namespace {

FamilyLockQuery::Query& Current() {
    static FamilyLockQuery::Query query;
    return query;
}

}  // namespace

bool FamilyLockQuery::IsLocked(const std::string& name) {
    const Query& query = Current();
    return query ? query(name) : NamedLock::IsLocked(name);
}

bool FamilyLockQuery::AnyInstallerRunning() {
    return IsLocked(TesmidConstants::kSetupLockName) || IsLocked(TesmidConstants::kBootstrapperLockName);
}

FamilyLockQuery::Replacement::Replacement(Query query) : mPrevious(std::move(Current())) { Current() = std::move(query); }

FamilyLockQuery::Replacement::~Replacement() { Current() = std::move(mPrevious); }
