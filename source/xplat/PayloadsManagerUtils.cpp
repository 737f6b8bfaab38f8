#include "PayloadsManagerUtils.h"

#include <ctype.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "ErrorCodes.h"
#include "FileSystemUtils.h"
#include "FileSystemUtilsMac.h"
#include "MOQLogger.h"
#include "MOXAQueryUtilities.h"
#include "MacUtils.h"
#include "MoxaQueries.h"
#include "PayloadIteration.h"
#include "PayloadProxy.h"
#include "PayloadsManager.h"
#include "PcdStore.h"
#include "moxaiSession.h"

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

bool PathExists(const std::string& text) {
    // An empty path names nothing (made absolute, it would name the working folder).
    const std::optional<FileSystemPath> path = FileSystemPath::Make(text);
    return path && FileSystemUtils::Exists(*path);
}

bool ConfigPath(moxaiSession* config, const std::string& code, std::string& value) {
    const char* text = nullptr;
    if (pcdGetDomainData(config, kPcdDomainProducts, code.c_str(), "ZTKConfigPath", &text) != kMoxaOK || text == nullptr) {
        return false;
    }
    value = text;
    return true;
}

// The media payload that the product was installed from, by family and product.
bool FindMediaCode(const std::string& sourcePath, const std::string& family, const std::string& product, std::string& media) {
    std::vector<FileSystemPath> folders;
    std::optional<FileSystemPath> payloads = FileSystemPath::Make(sourcePath);
    if (!payloads || !FileSystemUtils::ChildrenForDirectory(payloads->AppendUTF8Segment("payloads"), folders)) return false;
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

void SayStoreUnopened(int storeCode) {
    std::string path;
    // Without the machine's application-support folder the store has no path yet: name the folder.
    if (!moxaiStoreFilePath(path)) {
        const std::string root = MacUtils::SystemRoot();
        path = (root == "/" ? std::string() : root) + "/Library/Application Support/Kavex (no such folder)";
    }
    std::cerr << "Update: the installed-products store " << path << " cannot be opened (store code " << storeCode
              << (storeCode == kMoxaErrBusy ? ", held by another installer" : "") << ")" << std::endl;
}

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
    const char** rows = nullptr;
    mMembershipsCode = moxaGetMembershipsInState(mSession, kMoxaStateInstalled, &rows);
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

bool DirectClassificationReads::GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) {
    return MOXAQueryUtilities::GetEffectiveKavexCodeFromOriginal(mSession, code, effective);
}

bool DirectClassificationReads::GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) {
    return MOXAQueryUtilities::GetUpgradedPayloadsMap(mSession, upgrades);
}

bool DirectClassificationReads::GetAllInstalledPayloadsThatUpgradePackage(const std::string& code,
                                                                          std::set<std::string>& payloads) {
    return MOXAQueryUtilities::GetAllInstalledPayloadsThatUpgradePackage(mSession, code, payloads);
}

bool DirectClassificationReads::GetInstalledPatches(const std::string& code, std::set<std::string>& patches) {
    return MOXAQueryUtilities::GetInstalledPatches(mSession, code, patches);
}

int DirectClassificationReads::InstalledCollections(const std::string& code, std::vector<std::string>& collections) {
    int rc = kMoxaOK;
    ::InstalledCollections(mSession, code, collections, &rc);
    return rc;
}

int ClassificationReads::InstalledPayloadsOf(const std::string& collection, std::vector<std::string>& payloads) {
    const char** list = nullptr;
    const int rc = moxaGetCollectionPayloads(mSession, kMoxaStateInstalled, collection.c_str(), &list);
    if (rc == kMoxaOK) payloads = ToVector(list);
    return rc;
}

bool ClassificationReads::PayloadDatum(const std::string& code, int domain, const char* key, std::string& value) {
    const char* text = nullptr;
    if (moxaGetPayloadData(mSession, code.c_str(), domain, key, &text) != kMoxaOK || text == nullptr) return false;
    value = text;
    return true;
}

bool ClassificationReads::PayloadRecorded(const std::string& code) {
    moxaPayloadRecord record;
    return moxaGetPayload(mSession, code.c_str(), &record) == kMoxaOK;
}

namespace {

// Already installed: the patch sits in every installation of its base product.
bool InstalledInEveryCollection(ClassificationReads& reads, const std::string& parentCode, const std::string& patchCode,
                                std::string& why) {
    std::vector<std::string> patchCollections, parentCollections;
    if (patchCode.empty() || reads.InstalledCollections(patchCode, patchCollections) != kMoxaOK) return false;
    if (reads.InstalledCollections(parentCode, parentCollections) != kMoxaOK || parentCollections.size() == 1) {
        why = "the store records the patch as installed, and its base product in at most one installation";
        return true;
    }
    bool heldEarlier = false;
    for (const std::string& collection : parentCollections) {
        std::vector<std::string> payloads;
        const int rc = reads.InstalledPayloadsOf(collection, payloads);
        if (rc == kMoxaErrNotFound && heldEarlier) continue;
        if (rc != kMoxaOK || std::find(payloads.begin(), payloads.end(), patchCode) == payloads.end()) return false;
        heldEarlier = true;
    }
    why = "the store records the patch in every installation of its base product " + parentCode;
    return true;
}

// A product that moved since its installation: remember where it is now, so that the
// launch writes the actual folder and configuration path back to the store.
void NoteRelocation(ClassificationReads& reads, const std::string& base, const std::string& media,
                    const std::string& actualConfig) {
    std::string storedFolder, storedConfig;
    if (!reads.PayloadDatum(media, kMoxaDomainCurrent, "INSTALLDIR", storedFolder) ||
        !reads.PayloadDatum(media, kMoxaDomainCurrent, "ZTKConfigPath", storedConfig) || storedFolder.empty() ||
        storedConfig.empty() || storedConfig.find(storedFolder) == std::string::npos) {
        return;
    }
    const std::string tail = storedConfig.substr(storedFolder.size());
    const size_t at = actualConfig.find(tail);
    if (at == std::string::npos) return;
    const std::string actualFolder = actualConfig.substr(0, at);
    if (actualFolder == storedFolder) return;
    PayloadsManager::NoteMovedInstallation(base, media, actualFolder, actualConfig);
}

// Whether the base product is still where its configuration says: false when it is
// gone (the product is not installed), true when it is there or nothing can tell.
bool BaseProductPresent(ClassificationReads& reads, moxaiSession* configSession, const std::string& parentCode,
                        std::string& why) {
    std::string base;
    reads.GetEffectiveKavexCodeFromOriginal(parentCode, base);
    if (base.empty()) base = parentCode;
    std::string configPath;
    if (ConfigPath(configSession, base, configPath)) {
        if (PathExists(configPath)) return true;
        why = "the configuration store names " + configPath + " for " + base + ", and nothing is there";
        return false;
    }
    std::string sourcePath, family, product;
    const bool recorded = reads.PayloadDatum(base, kMoxaDomainInstallation, "installSourcePath", sourcePath) &&
                          reads.PayloadDatum(base, kMoxaDomainInstallation, "ExtensionFamily", family) &&
                          reads.PayloadDatum(base, kMoxaDomainInstallation, "ExtensionProduct", product);
    if (!recorded) {
        if (reads.PayloadRecorded(base)) return true;
        why = "the store has no record of the base product " + base;
        return false;
    }
    std::string media, actualConfig;
    if (!FindMediaCode(sourcePath, family, product, media)) {
        why = "no installation media of " + family + " " + product + " under " + sourcePath + "/payloads";
        return false;
    }
    if (!ConfigPath(configSession, media, actualConfig)) return true;
    if (!PathExists(actualConfig)) {
        why = "the configuration store names " + actualConfig + " for the media " + media + ", and nothing is there";
        return false;
    }
    NoteRelocation(reads, base, media, actualConfig);
    return true;
}

}  // namespace

InstallState GetVORNPayloadInstallState(const std::string& parentCode, const std::string& patchCode,
                                        ClassificationReads& reads, moxaiSession* configSession) {
    InstallState state;
    std::string& why = state.reason;
    int& result = state.result;
    bool& classified = state.classified;
    bool& parentInstalled = state.parentInstalled;
    bool& parentCodeCurrent = state.parentCodeCurrent;
    std::string& effective = state.effective;
    std::set<std::string>& upgrading = state.upgrading;
    std::set<std::string>& upgradedOriginals = state.upgradedOriginals;
    std::set<std::string>& higherPatches = state.higherPatches;

    MOQ_LOG("Called GetVORNPayloadInstallState with inKavexCode: %s, inxtnKavexCode: %s\n", parentCode.c_str(),
            patchCode.c_str());
    if (InstalledInEveryCollection(reads, parentCode, patchCode, why)) result = ErrorCodes::kAlreadyInstalled;

    if (parentCode.empty()) {
        MOQ_LOG("Returning from GetVORNPayloadInstallState\n");
        return state;
    }

    // Where the base product lives now.
    if (configSession != nullptr && !BaseProductPresent(reads, configSession, parentCode, why)) {
        result = ErrorCodes::kBasePayloadNotInstalled;
        classified = true;
    }

    // Whether the base product is registered, and under which code.
    std::vector<std::string> parentCollections;
    const int rc = reads.InstalledCollections(parentCode, parentCollections);
    if (rc == kMoxaOK) {
        parentInstalled = true;
        if (reads.GetEffectiveKavexCodeFromOriginal(parentCode, effective)) {
            parentCodeCurrent = effective == parentCode;
            reads.GetAllInstalledPayloadsThatUpgradePackage(parentCode, upgrading);
            if (reads.GetInstalledPatches(patchCode, higherPatches) && result == 0) {
                result = ErrorCodes::kHigherPatchInstalled;
                why = "the store records " + (higherPatches.empty() ? std::string("a payload") : *higherPatches.begin()) +
                      ", which upgrades this patch";
            }
            if (!parentCodeCurrent) {
                result = ErrorCodes::kBasePayloadNotInstalled;
                why = "the base product " + parentCode + " was replaced by " + effective;
            }
            if (result == 0) {
                why = "the base product " + parentCode + " is installed in " + std::to_string(parentCollections.size()) +
                      " installation(s), and the patch is not in all of them";
            }
            classified = true;
        }
    } else if (rc == kMoxaErrNotFound) {
        // Not installed under its own code: perhaps under the code of an original it upgraded.
        std::map<std::string, std::string> upgrades;
        bool qualified = false;
        if (reads.GetUpgradedPayloadsMap(upgrades)) {
            for (const auto& entry : upgrades) {
                std::vector<std::string> originalCollections;
                if (entry.second != parentCode || reads.InstalledCollections(entry.first, originalCollections) != kMoxaOK) {
                    continue;
                }
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
            // Or replaced by a product that upgrades it.
            parentCodeCurrent = false;
            parentInstalled = false;
            effective = parentCode;
            classified = reads.GetAllInstalledPayloadsThatUpgradePackage(parentCode, upgrading);
            if (upgrading.empty()) {
                result = ErrorCodes::kBasePayloadNotInstalled;
                classified = true;
                why = "no installation holds the base product " + parentCode + ", and nothing installed upgrades it";
            } else if (reads.GetEffectiveKavexCodeFromOriginal(*upgrading.begin(), effective)) {
                if (effective != parentCode) {
                    result = ErrorCodes::kHigherPatchInstalled;
                    why = "the base product " + parentCode + " was upgraded by the installed " + *upgrading.begin();
                }
            } else {
                effective = parentCode;
            }
        }
    }

    MOQ_LOG("Returning from GetVORNPayloadInstallState\n");
    return state;
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
        const bool copied = FileSystemUtils::CopyFile(proxyFile, target, false);
        if (!copied) MOQ_LOG("Copy failed: %s to %s\n", proxyFile.AsUTF8String().c_str(), target.AsUTF8String().c_str());
        result = copied && created;
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
bool CopyChildren(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix) {
    LinkSafeTree::Outcome outcome;
    const bool ok = FileSystemUtils::CopyFolderContents(source, target, suffix, outcome);
    // A setup must never run on a half copy without the log saying why.
    for (const std::string& failure : outcome.failures) MOQ_LOG("Copy failed: %s\n", failure.c_str());
    MOQ_LOG("Copied %zu files into %s, %zu already there\n", outcome.copied, target.AsUTF8String().c_str(), outcome.skipped);
    return ok;
}
}  // namespace

bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder) {
    MOQ_LOG("Called BlindCopyFolder with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = CopyChildren(sourceFolder, targetFolder, std::string());
    MOQ_LOG("Returning from BlindCopyFolder\n");
    return ok;
}

bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix) {
    MOQ_LOG("Called BlindCopyExtensions with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = CopyChildren(sourceFolder, targetFolder, suffix);
    MOQ_LOG("Returning from BlindCopyExtensions\n");
    return ok;
}

bool BlindCopyProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder, StagedCopy& staging) {
    MOQ_LOG("Called BlindCopyProxyFile with Source: %s, Destination: %s\n", proxyFile.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    FileSystemPath destination(targetFolder);
    destination.AppendUTF8Segment(proxyFile.Parent().NameAsUTF8String());
    std::string why;
    const bool copied = proxyFile.NameAsUTF8String().empty() ||
                        staging.CopyFile(proxyFile.AsUTF8String(), destination.AsUTF8String(), false, why);
    if (!copied) MOQ_LOG("Copy failed: %s to %s: %s\n", proxyFile.AsUTF8String().c_str(), destination.AsUTF8String().c_str(), why.c_str());
    MOQ_LOG("Returning from BlindCopyProxyFile\n");
    return copied;
}

namespace {
bool StageChildren(const FileSystemPath& source, const FileSystemPath& target, const std::string& suffix, StagedCopy& staging) {
    LinkSafeTree::Outcome outcome;
    const bool ok = staging.CopyChildren(source.AsUTF8String(), target.AsUTF8String(), suffix, outcome);
    for (const std::string& failure : outcome.failures) MOQ_LOG("Copy failed: %s\n", failure.c_str());
    MOQ_LOG("Staged %zu files for %s, %zu already there\n", outcome.copied, target.AsUTF8String().c_str(), outcome.skipped);
    return ok;
}
}  // namespace

bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, StagedCopy& staging) {
    MOQ_LOG("Called BlindCopyFolder with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = StageChildren(sourceFolder, targetFolder, std::string(), staging);
    MOQ_LOG("Returning from BlindCopyFolder\n");
    return ok;
}

bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix,
                         StagedCopy& staging) {
    MOQ_LOG("Called BlindCopyExtensions with Source: %s, Destination: %s\n", sourceFolder.AsUTF8String().c_str(),
            targetFolder.AsUTF8String().c_str());
    const bool ok = StageChildren(sourceFolder, targetFolder, suffix, staging);
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
