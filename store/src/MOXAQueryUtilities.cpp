#include "MOXAQueryUtilities.h"

#include "MoxaQueries.h"
#include "MoxaiDataStore.h"

int moxaGetPayloadConstraintReverse(moxaiSession* session, const char* payloadIDb, int type, const char*** list) {
    if (session == nullptr || payloadIDb == nullptr || list == nullptr || type < 0 || type > 2) {
        return kMoxaErrInvalidArgument;
    }
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->queryList(list, "SELECT payloadID FROM vorn_payload_constraint WHERE payloadIDb = '%q' AND constraintType = %d", payloadIDb, type);
}

namespace MOXAQueryUtilities {

bool GetEffectiveKavexCodeFromOriginal(moxaiSession* session, const std::string& code, std::string& effective) {
    effective = code;
    if (code.empty()) return false;
    const char** pairs = nullptr;
    if (moxaGetUpgradedPayloadsKeysAndValues(session, &pairs) != kMoxaOK) return true;
    int matches = 0;
    for (int i = 0; pairs[i] != nullptr && pairs[i + 1] != nullptr; i += 2) {
        if (code == pairs[i]) {
            effective = pairs[i + 1];
            ++matches;
        }
    }
    return matches <= 1;
}

bool GetUpgradedPayloadsMap(moxaiSession* session, std::map<std::string, std::string>& upgrades) {
    upgrades.clear();
    const char** pairs = nullptr;
    int rc = moxaGetUpgradedPayloadsKeysAndValues(session, &pairs);
    if (rc != kMoxaOK && rc != kMoxaErrNotFound) return false;
    for (int i = 0; pairs[i] != nullptr && pairs[i + 1] != nullptr; i += 2) upgrades.insert(std::make_pair(pairs[i], pairs[i + 1]));
    return true;
}

bool GetAllInstalledPayloadsThatUpgradePackage(moxaiSession* session, const std::string& code, std::set<std::string>& payloads) {
    payloads.clear();
    const char** installed = nullptr;
    if (moxaGetPayloads(session, kMoxaStateInstalled, &installed) != kMoxaOK) return true;
    for (int i = 0; installed[i] != nullptr; ++i) {
        const char** targets = nullptr;
        if (moxaGetPayloadConstraint(session, installed[i], kMoxaConstraintUpgrades, &targets) != kMoxaOK) continue;
        for (int t = 0; targets[t] != nullptr; ++t) {
            if (code == targets[t]) {
                payloads.insert(installed[i]);
                break;
            }
        }
    }
    return true;
}

bool GetInstalledPatches(moxaiSession* session, const std::string& code, std::set<std::string>& patches) {
    patches.clear();
    if (session == nullptr) return false;
    const char** list = nullptr;
    if (moxaGetPayloadConstraintReverse(session, code.c_str(), kMoxaConstraintUpgrades, &list) != kMoxaOK) return false;
    for (int i = 0; list[i] != nullptr; ++i) patches.insert(list[i]);
    return true;
}

bool GetConstraintPairs(moxaiSession* session, int type, std::vector<std::pair<std::string, std::string> >& pairs) {
    pairs.clear();
    if (session == nullptr || session->store == nullptr) return false;
    const char** list = nullptr;
    int rc = session->store->queryList(&list, "SELECT payloadID,payloadIDb FROM vorn_payload_constraint WHERE constraintType = %d", type);
    if (rc != kMoxaOK && rc != kMoxaErrNotFound) return false;
    for (int i = 0; list[i] != nullptr && list[i + 1] != nullptr; i += 2) pairs.push_back(std::make_pair(list[i], list[i + 1]));
    return true;
}

bool GetInstallDirectory(moxaiSession* session, const std::string& code, std::string& directory) {
    directory.clear();
    std::string effective;
    if (GetEffectiveKavexCodeFromOriginal(session, code, effective)) {
        const char* value = nullptr;
        if (moxaGetPayloadData(session, effective.c_str(), kMoxaDomainInstallation, "INSTALLDIR", &value) == kMoxaOK) directory = value;
    }
    return true;
}

}  // namespace MOXAQueryUtilities
