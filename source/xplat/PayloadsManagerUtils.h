// Classification of one patch, and the best-effort copies that prepare a launch.
#ifndef PAYLOADS_MANAGER_UTILS_H
#define PAYLOADS_MANAGER_UTILS_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FileSystemPath.h"
#include "StagedCopy.h"

struct moxaiSession;

namespace PayloadsManagerUtils {

// The store facts a classification reads; it reads none otherwise. Two implementations
// give the same answers: the direct reads (one query per question) and the session's cache.
class ClassificationReads {
public:
    explicit ClassificationReads(moxaiSession* session) : mSession(session) {}
    virtual ~ClassificationReads() {}
    virtual bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) = 0;
    virtual bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) = 0;
    virtual bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) = 0;
    virtual bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) = 0;
    // The collections holding code as installed; the store's code (8 for none).
    virtual int InstalledCollections(const std::string& code, std::vector<std::string>& collections) = 0;

    // Asked once per patch at most: read as they are by both.
    // The payloads a collection holds as installed; the store's code (8 for none).
    int InstalledPayloadsOf(const std::string& collection, std::vector<std::string>& payloads);
    // One value of a payload's data; false when there is none.
    bool PayloadDatum(const std::string& code, int domain, const char* key, std::string& value);
    // Whether the store has a record of the payload at all.
    bool PayloadRecorded(const std::string& code);

protected:
    moxaiSession* mSession;
};

class DirectClassificationReads : public ClassificationReads {
public:
    explicit DirectClassificationReads(moxaiSession* session) : ClassificationReads(session) {}
    bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) override;
    bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) override;
    bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) override;
    bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) override;
    int InstalledCollections(const std::string& code, std::vector<std::string>& collections) override;
};

// Store answers that do not change while one session classifies its patches.
// Without it every patch re-reads the whole upgrade table and queries every
// installed payload; with it each is read once. The answers are the same.
class ClassificationCache : public ClassificationReads {
public:
    explicit ClassificationCache(moxaiSession* session) : ClassificationReads(session) {}
    bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) override;
    bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) override;
    bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) override;
    bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) override;
    int InstalledCollections(const std::string& code, std::vector<std::string>& collections) override;

private:
    void LoadUpgrades();
    void LoadInstalledUpgraders();
    void LoadMemberships();
    bool mUpgradesLoaded = false;
    int mUpgradesCode = 0;
    std::map<std::string, std::pair<std::string, int> > mLastMatchAndCount;
    std::map<std::string, std::string> mFirstUpgrade;
    bool mUpgradersLoaded = false;
    std::map<std::string, std::set<std::string> > mInstalledUpgraders;
    std::map<std::string, std::set<std::string> > mPatchesOf;  // target -> payloads with an upgrade constraint on it
    bool mMembershipsLoaded = false;
    int mMembershipsCode = 0;
    std::map<std::string, std::vector<std::string> > mInstalledIn;
};

// What the classification tells of one patch.
struct InstallState {
    bool classified = false;  // false: the patch is not kept
    int result = 0;           // 0: an update to install; else 26, 27 or 29
    bool parentInstalled = false;
    bool parentCodeCurrent = false;
    std::string effective;                    // the code the base product is installed under
    std::set<std::string> upgrading;          // installed payloads that upgrade the base product
    std::set<std::string> upgradedOriginals;  // originals the base product upgraded, installed
    std::set<std::string> higherPatches;      // installed payloads that upgrade the patch
    std::string reason;                       // why, in words, for the report
};

// configSession: the product configuration store, or null when there is none.
InstallState GetVORNPayloadInstallState(const std::string& parentCode, const std::string& patchCode,
                                        ClassificationReads& reads, moxaiSession* configSession);

bool BlindCopyProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder);
bool BlindDeleteProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder);
bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder);
bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix);
// The same copies for a launch: staged (StagedCopy), so that nothing in place changes until the
// launch renames them all into place, and all of it can be taken back.
bool BlindCopyProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder, StagedCopy& staging);
bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, StagedCopy& staging);
bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix,
                         StagedCopy& staging);

// A proxy's size text as bytes: leading blanks, then digits up to the first other
// character; anything else (missing, not a number) counts as 0.
uint64_t SizeFromText(const std::string& text);
// Versions as dotted numbers ("10.0" > "9.0"); parts that are not numbers compare as bytes.
int CompareVersions(const std::string& left, const std::string& right);

}  // namespace PayloadsManagerUtils

#endif
