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

struct moxaiSession;

namespace PayloadsManagerUtils {

// The store facts a classification reads. Two implementations give the same answers:
// the direct reads (one query per question) and the session's cache.
class ClassificationReads {
public:
    virtual ~ClassificationReads() {}
    virtual bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) = 0;
    virtual bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) = 0;
    virtual bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) = 0;
    virtual bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) = 0;
    // The collections holding code as installed; the store's code (8 for none).
    virtual int InstalledCollections(const std::string& code, std::vector<std::string>& collections) = 0;
};

class DirectClassificationReads : public ClassificationReads {
public:
    explicit DirectClassificationReads(moxaiSession* session) : mSession(session) {}
    bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) override;
    bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) override;
    bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) override;
    bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) override;
    int InstalledCollections(const std::string& code, std::vector<std::string>& collections) override;

private:
    moxaiSession* mSession;
};

// Store answers that do not change while one session classifies its patches.
// Without it every patch re-reads the whole upgrade table and queries every
// installed payload; with it each is read once. The answers are the same.
class ClassificationCache : public ClassificationReads {
public:
    explicit ClassificationCache(moxaiSession* session) : mSession(session) {}
    bool GetEffectiveKavexCodeFromOriginal(const std::string& code, std::string& effective) override;
    bool GetUpgradedPayloadsMap(std::map<std::string, std::string>& upgrades) override;
    bool GetAllInstalledPayloadsThatUpgradePackage(const std::string& code, std::set<std::string>& payloads) override;
    bool GetInstalledPatches(const std::string& code, std::set<std::string>& patches) override;
    int InstalledCollections(const std::string& code, std::vector<std::string>& collections) override;

private:
    void LoadUpgrades();
    void LoadInstalledUpgraders();
    void LoadMemberships();
    moxaiSession* mSession;
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

bool GetVORNPayloadInstallState(const std::string& parentCode, const std::string& patchCode, bool& parentInstalled,
                                bool& parentCodeCurrent, std::string& effective, std::set<std::string>& upgrading,
                                std::set<std::string>& upgradedOriginals, std::set<std::string>& higherPatches,
                                moxaiSession*& session, moxaiSession*& configSession, int& result,
                                ClassificationCache* cache = nullptr, std::string* reason = nullptr);

bool BlindCopyProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder);
bool BlindDeleteProxyFile(const FileSystemPath& proxyFile, const FileSystemPath& targetFolder);
bool BlindCopyFolder(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder);
bool BlindCopyExtensions(const FileSystemPath& sourceFolder, const FileSystemPath& targetFolder, const std::string& suffix);

// A proxy's size text as bytes: leading blanks, then digits up to the first other
// character; anything else (missing, not a number) counts as 0.
uint64_t SizeFromText(const std::string& text);
// Versions as dotted numbers ("10.0" > "9.0"); parts that are not numbers compare as bytes.
int CompareVersions(const std::string& left, const std::string& right);

}  // namespace PayloadsManagerUtils

#endif
