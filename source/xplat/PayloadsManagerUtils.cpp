#include "PayloadsManagerUtils.h"

#include <ctype.h>

#include <algorithm>
#include <memory>

#include "FileSystemUtils.h"
#include "FileSystemUtilsMac.h"
#include "MOQLogger.h"
#include "MOXAQueryUtilities.h"
#include "MoxaQueries.h"
#include "PayloadIteration.h"
#include "PayloadProxy.h"
#include "PayloadsManager.h"
#include "PcdStore.h"

namespace {

std::vector<std::string> ToVector(const char** list) {
    std::vector<std::string> out;
    for (int i = 0; list != nullptr && list[i] != nullptr; ++i) out.push_back(list[i]);
    return out;
}

bool InstalledCollections(moxaiSession* session, const std::string& code, std::vector<std::string>& collections,
                          int* code_out = nullptr) {
    const char** list = nullptr;
    int rc = moxaGetPayloadCollections(session, kMoxaStateInstalled, code.c_str(), &list);
    if (code_out) *code_out = rc;
    if (rc != kMoxaOK) return false;
    collections = ToVector(list);
    return true;
}

bool Contains(const char** list, const std::string& code) {
    for (int i = 0; list != nullptr && list[i] != nullptr; ++i) {
        if (code == list[i]) return true;
    }
    return false;
}

bool PathExists(const std::string& text) {
    // Made absolute, an empty path would name the working folder.
    if (text.empty()) return false;
    try {
        return FileSystemUtils::Exists(FileSystemPath::PathFromUTF8(text));
    } catch (const std::exception&) {
        return false;
    }
}

bool PayloadData(moxaiSession* session, const std::string& code, int domain, const char* key, std::string& value) {
    const char* text = nullptr;
    if (moxaGetPayloadData(session, code.c_str(), domain, key, &text) != kMoxaOK || text == nullptr) return false;
    value = text;
    return true;
}

bool ConfigPath(moxaiSession* config, const std::string& code, std::string& value) {
    const char* text = nullptr;
    if (pcdGetDomainData(config, 1, code.c_str(), "ZTKConfigPath", &text) != kMoxaOK || text == nullptr) return false;
    value = text;
    return true;
}

// The media payload that the product was installed from, by family and product.
bool FindMediaCode(const std::string& sourcePath, const std::string& family, const std::string& product, std::string& media) {
    std::vector<FileSystemPath> folders;
    try {
        FileSystemPath payloads = FileSystemPath::PathFromUTF8(sourcePath);
        payloads.AppendUTF8Segment("payloads");
        if (!FileSystemUtils::ChildrenForDirectory(payloads, folders)) return false;
    } catch (const std::exception&) {
        return false;
    }
    bool found = false;
    for (const FileSystemPath& folder : folders) {
        bool isFolder = false;
        if (!FileSystemUtils::IsDirectory(folder, isFolder) || !isFolder) continue;
        FileSystemPath proxy(folder);
        proxy.AppendUTF8Segment(folder.NameAsUTF8String() + PayloadIteration::kProxyFileExtension);
        if (!FileSystemUtils::Exists(proxy)) continue;
        PayloadProxy::DataStore record;
        if (record.Load(proxy) && record.mFamily == family && record.mProduct == product) {
            media = record.mKavexCode;
            found = true;
        }
    }
    return found;
}

}  // namespace

namespace PayloadsManagerUtils {

void ClassificationCache::LoadUpgrades() {
    if (mUpgradesLoaded) return;
    mUpgradesLoaded = true;
    const char** pairs = nullptr;
    mUpgradesCode = moxaGetUpgradedPayloadsKeysAndValues(mSession, &pairs);
    if (mUpgradesCode != kMoxaOK) return;
    for (int i = 0; pairs[i] != nullptr && pairs[i + 1] != nullptr; i += 2) {
        std::pair<std::string, int>& match = mLastMatchAndCount[pairs[i]];
        match.first = pairs[i + 1];
        match.second += 1;
        mFirstUpgrade.insert(std::make_pair(pairs[i], pairs[i + 1]));
    }
}

bool ClassificationCache::GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) {
    effective = code;
    if (code.empty()) return false;
    LoadUpgrades();
    if (mUpgradesCode != kMoxaOK) return true;
    auto match = mLastMatchAndCount.find(code);
    if (match == mLastMatchAndCount.end()) return true;
    effective = match->second.first;
    return match->second.second <= 1;
}

bool ClassificationCache::GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) {
    upgrades.clear();
    LoadUpgrades();
    if (mUpgradesCode != kMoxaOK && mUpgradesCode != kMoxaErrNotFound) return false;
    upgrades = mFirstUpgrade;
    return true;
}

void ClassificationCache::LoadInstalledUpgraders() {
    if (mUpgradersLoaded) return;
    mUpgradersLoaded = true;
    std::vector<std::pair<std::string, std::string> > constraints;
    MOXAQueryUtilities::GetConstraintPairs(mSession, kMoxaConstraintUpgrades, constraints);
    for (const auto& row : constraints) mPatchesOf[row.second].insert(row.first);
    const char** installed = nullptr;
    if (moxaGetPayloads(mSession, kMoxaStateInstalled, &installed) != kMoxaOK) return;
    const std::vector<std::string> installedList = ToVector(installed);
    const std::set<std::string> installedSet(installedList.begin(), installedList.end());
    for (const auto& row : constraints) {
        if (installedSet.count(row.first)) mInstalledUpgraders[row.second].insert(row.first);
    }
}

bool ClassificationCache::GetInstalledPatches(const std::string& code, std::set<std::string>& patches) {
    patches.clear();
    if (mSession == nullptr) return false;
    LoadInstalledUpgraders();
    auto found = mPatchesOf.find(code);
    if (found == mPatchesOf.end()) return false;
    patches = found->second;
    return true;
}

void ClassificationCache::LoadMemberships() {
    if (mMembershipsLoaded) return;
    mMembershipsLoaded = true;
    if (mSession == nullptr || mSession->store == nullptr) {
        mMembershipsCode = kMoxaErrInvalidArgument;
        return;
    }
    const char** rows = nullptr;
    mMembershipsCode = mSession->store->queryList(
        &rows, "SELECT payloadID,collectionID FROM vorn_collection_payload WHERE installState = %d ORDER BY tsInstalled",
        kMoxaStateInstalled);
    if (mMembershipsCode == kMoxaErrNotFound) mMembershipsCode = kMoxaOK;
    for (int i = 0; mMembershipsCode == kMoxaOK && rows[i] != nullptr && rows[i + 1] != nullptr; i += 2) {
        mInstalledIn[rows[i]].push_back(rows[i + 1]);
    }
}

int ClassificationCache::InstalledCollections(const std::string& code, std::vector<std::string>& collections) {
    LoadMemberships();
    if (mMembershipsCode != kMoxaOK) return mMembershipsCode;
    auto found = mInstalledIn.find(code);
    if (found == mInstalledIn.end()) return kMoxaErrNotFound;
    collections = found->second;
    return kMoxaOK;
}

bool ClassificationCache::GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) {
    LoadInstalledUpgraders();
    auto found = mInstalledUpgraders.find(code);
    payloads = found != mInstalledUpgraders.end() ? found->second : std::set<std::string>();
    return true;
}

bool GetVORNPayloadInstallState(const std::string& parentCode, const std::string& patchCode, bool& parentInstalled,
                                bool& parentCodeCurrent, std::string& effective, std::set<std::string>& upgrading,
                                std::set<std::string>& upgradedOriginals, std::set<std::string>& higherPatches,
                                moxaiSession*& session, moxaiSession*& configSession, int& result,
                                ClassificationCache* cache) {
    auto effectiveOf = [&](const std::string& code, std::string& out) {
        return cache ? cache->GetEffectiveKavexCodeFromOriginal(code, out)
                     : MOXAQueryUtilities::GetEffectiveKavexCodeFromOriginal(session, code, out);
    };
    auto upgradersOf = [&](const std::string& code, std::set<std::string>& out) {
        return cache ? cache->GetAllInstalledPayloadsThatUpgradePackage(code, out)
                     : MOXAQueryUtilities::GetAllInstalledPayloadsThatUpgradePackage(session, code, out);
    };
    auto patchesOf = [&](const std::string& code, std::set<std::string>& out) {
        return cache ? cache->GetInstalledPatches(code, out) : MOXAQueryUtilities::GetInstalledPatches(session, code, out);
    };
    // Which collections hold a payload as installed: true when any, with the store's code.
    auto installedIn = [&](const std::string& code, std::vector<std::string>& collections, int* rc = nullptr) {
        if (cache == nullptr) return InstalledCollections(session, code, collections, rc);
        const int result = cache->InstalledCollections(code, collections);
        if (rc) *rc = result;
        return result == kMoxaOK;
    };

    MOQ_LOG("Called GetVORNPayloadInstallState with inKavexCode: %s, inxtnKavexCode: %s\n", parentCode.c_str(),
            patchCode.c_str());
    upgrading.clear();
    bool classified = false;

    // Already installed: the patch sits in every installation of its parent.
    std::vector<std::string> patchCollections;
    if (!patchCode.empty() && installedIn(patchCode, patchCollections)) {
        std::vector<std::string> parentCollections;
        if (!installedIn(parentCode, parentCollections) || parentCollections.size() == 1) {
            result = 29;
        } else {
            bool heldEarlier = false;
            bool everyCollection = true;
            for (const std::string& collection : parentCollections) {
                const char** payloads = nullptr;
                int rc = moxaGetCollectionPayloads(session, kMoxaStateInstalled, collection.c_str(), &payloads);
                if (rc == kMoxaErrNotFound && heldEarlier) continue;
                if (rc != kMoxaOK || !Contains(payloads, patchCode)) {
                    everyCollection = false;
                    break;
                }
                heldEarlier = true;
            }
            if (everyCollection) result = 29;
        }
    }

    if (parentCode.empty()) {
        MOQ_LOG("Returning from GetVORNPayloadInstallState\n");
        return false;
    }

    // Where the base product lives now.
    if (configSession != nullptr && session != nullptr) {
        std::string base;
        effectiveOf(parentCode, base);
        if (base.empty()) base = parentCode;
        std::string configPath;
        if (ConfigPath(configSession, base, configPath)) {
            if (!PathExists(configPath)) {
                result = 27;
                classified = true;
            }
        } else {
            std::string sourcePath, family, product;
            const bool recorded = PayloadData(session, base, 5, "installSourcePath", sourcePath) &&
                                  PayloadData(session, base, 5, "ExtensionFamily", family) &&
                                  PayloadData(session, base, 5, "ExtensionProduct", product);
            if (!recorded) {
                moxaPayloadRecord record;
                if (moxaGetPayload(session, base.c_str(), &record) != kMoxaOK) {
                    result = 27;
                    classified = true;
                }
            } else {
                std::string media, actualConfig;
                if (!FindMediaCode(sourcePath, family, product, media)) {
                    result = 27;
                    classified = true;
                } else if (ConfigPath(configSession, media, actualConfig)) {
                    if (!PathExists(actualConfig)) {
                        result = 27;
                        classified = true;
                    } else {
                        std::string storedFolder, storedConfig;
                        if (PayloadData(session, media, 0, "INSTALLDIR", storedFolder) &&
                            PayloadData(session, media, 0, "ZTKConfigPath", storedConfig) && !storedFolder.empty() &&
                            !storedConfig.empty() && storedConfig.find(storedFolder) != std::string::npos) {
                            const std::string tail = storedConfig.substr(storedFolder.size());
                            const size_t at = actualConfig.find(tail);
                            if (at != std::string::npos) {
                                const std::string actualFolder = actualConfig.substr(0, at);
                                if (actualFolder != storedFolder) {
                                    PayloadsManager::mapInstallDir.insert(std::make_pair(base, actualFolder));
                                    PayloadsManager::mapInstallDir.insert(std::make_pair(media, actualFolder));
                                    PayloadsManager::mapZTKConfigPath.insert(std::make_pair(media, actualConfig));
                                }
                            }
                        }
                    }
                }
            }
        }
    }

    // Whether the base product is registered, and under which code.
    std::vector<std::string> parentCollections;
    int rc = kMoxaOK;
    if (installedIn(parentCode, parentCollections, &rc)) {
        parentInstalled = true;
        if (effectiveOf(parentCode, effective)) {
            parentCodeCurrent = effective == parentCode;
            upgradersOf(parentCode, upgrading);
            if (patchesOf(patchCode, higherPatches) && result == 0) result = 26;
            if (!parentCodeCurrent) result = 27;
            classified = true;
        }
    } else if (rc == kMoxaErrNotFound) {
        std::map<std::string, std::string> upgrades;
        const bool haveUpgrades = cache ? cache->GetUpgradedPayloadsMap(upgrades)
                                        : MOXAQueryUtilities::GetUpgradedPayloadsMap(session, upgrades);
        bool qualified = false;
        if (haveUpgrades) {
            for (const auto& entry : upgrades) {
                std::vector<std::string> originalCollections;
                if (entry.second != parentCode || !installedIn(entry.first, originalCollections)) continue;
                if (!qualified) {
                    parentInstalled = true;
                    parentCodeCurrent = true;
                    effective = parentCode;
                    classified = true;
                    qualified = true;
                }
                upgradedOriginals.insert(entry.first);
            }
        }
        if (!qualified) {
            parentCodeCurrent = false;
            parentInstalled = false;
            effective = parentCode;
            classified = upgradersOf(parentCode, upgrading);
            if (upgrading.empty()) {
                result = 27;
                classified = true;
            } else if (effectiveOf(*upgrading.begin(), effective)) {
                if (effective != parentCode) result = 26;
            } else {
                effective = parentCode;
            }
        }
    }

    MOQ_LOG("Returning from GetVORNPayloadInstallState\n");
    return classified;
}

bool BlindCopyProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder) {
    MOQ_LOG("Called BlindCopyProxyFile with Source: %s, Destination: %s\n", proxyFile.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    FileSystemPath destination(targetFolder);
    destination.AppendUTF8Segment(proxyFile.Parent().NameAsUTF8String());
    const bool created = FileSystemUtilsMac::CreateDirectoryPath(destination, 0755, true);
    bool result = created;
    const std::string name = proxyFile.NameAsUTF8String();
    if (!name.empty()) {
        FileSystemPath target(destination);
        target.AppendUTF8Segment(name);
        result = FileSystemUtils::CopyFile(proxyFile, target, false) && created;
    }
    MOQ_LOG("Returning from BlindCopyProxyFile\n");
    return result;
}

bool BlindDeleteProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder) {
    MOQ_LOG("Called BlindDeleteProxyFile with Source: %s, Destination: %s\n", proxyFile.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    FileSystemPath folder(targetFolder);
    folder.AppendUTF8Segment(proxyFile.Parent().NameAsUTF8String());
    bool result = true;
    const std::string name = proxyFile.NameAsUTF8String();
    if (FileSystemUtils::Exists(folder) && !name.empty()) {
        FileSystemPath target(folder);
        target.AppendUTF8Segment(name);
        result = FileSystemUtils::DeleteFile(target, false);
    }
    MOQ_LOG("Returning from BlindDeleteProxyFile\n");
    return result;
}

namespace {
bool CopyChildren(const FileSystemPath& source, const FileSystemPath& target, const std::string* suffix) {
    std::vector<FileSystemPath> children;
    if (!FileSystemUtils::ChildrenForDirectory(source, children)) return true;
    // The target may be new (the shared runtime folder on its first patch).
    bool ok = FileSystemUtils::Exists(target) || FileSystemUtilsMac::CreateDirectoryPath(target, 0755, true);
    for (const FileSystemPath& child : children) {
        const std::string name = child.NameAsUTF8String();
        FileSystemPath destination(target);
        destination.AppendUTF8Segment(name);
        bool isFolder = false;
        FileSystemUtils::IsDirectory(child, isFolder);
        if (isFolder) {
            if (!FileSystemUtils::Exists(destination) && !FileSystemUtilsMac::CreateDirectoryPath(destination, 0755, true)) {
                ok = false;
                continue;
            }
            if (!CopyChildren(child, destination, suffix)) ok = false;
        } else if (!name.empty()) {
            if (suffix != nullptr && (name.size() <= suffix->size() ||
                                      name.compare(name.size() - suffix->size(), suffix->size(), *suffix) != 0)) {
                continue;
            }
            if (!FileSystemUtils::CopyFile(child, destination, true)) ok = false;
        }
    }
    return ok;
}
}  // namespace

bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder) {
    MOQ_LOG("Called BlindCopyFolder with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = CopyChildren(sourceFolder, targetFolder, nullptr);
    MOQ_LOG("Returning from BlindCopyFolder\n");
    return ok;
}

bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix) {
    MOQ_LOG("Called BlindCopyExtensions with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = CopyChildren(sourceFolder, targetFolder, &suffix);
    MOQ_LOG("Returning from BlindCopyExtensions\n");
    return ok;
}

uint64_t SizeFromText(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    uint64_t value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;  // absurdly large: no room anywhere
        value = value * 10 + digit;
    }
    return value;
}

int CompareVersions(const std::string& left, const std::string& right) {
    size_t a = 0, b = 0;
    while (a < left.size() || b < right.size()) {
        const size_t aEnd = std::min(left.find('.', a), left.size());
        const size_t bEnd = std::min(right.find('.', b), right.size());
        std::string x = a < left.size() ? left.substr(a, aEnd - a) : std::string();
        std::string y = b < right.size() ? right.substr(b, bEnd - b) : std::string();
        const bool xNumber = !x.empty() && x.find_first_not_of("0123456789") == std::string::npos;
        const bool yNumber = !y.empty() && y.find_first_not_of("0123456789") == std::string::npos;
        if (xNumber && yNumber) {
            x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
        }
        if (x != y) return x < y ? -1 : 1;
        a = aEnd + 1;
        b = bEnd + 1;
    }
    return 0;
}

}  // namespace PayloadsManagerUtils
