// Store helpers on standard strings and containers for the patch classification.
#ifndef MOXA_QUERY_UTILITIES_H
#define MOXA_QUERY_UTILITIES_H

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "moxaiSession.h"

int moxaGetPayloadConstraintReverse(moxaiSession* session, const char* payloadIDb, int type, const char*** list);

namespace MOXAQueryUtilities {
bool GetEffectiveKavexCodeFromOriginal(moxaiSession* session, const std::string& code, std::string& effective);
bool GetUpgradedPayloadsMap(moxaiSession* session, std::map<std::string, std::string>& upgrades);
bool GetAllInstalledPayloadsThatUpgradePackage(moxaiSession* session, const std::string& code, std::set<std::string>& payloads);
bool GetInstalledPatches(moxaiSession* session, const std::string& code, std::set<std::string>& patches);
// Every (payload, target) row of one constraint type, in one query.
bool GetConstraintPairs(moxaiSession* session, int type, std::vector<std::pair<std::string, std::string> >& pairs);
bool GetInstallDirectory(moxaiSession* session, const std::string& code, std::string& directory);
}  // namespace MOXAQueryUtilities

#endif
