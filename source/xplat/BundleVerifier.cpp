#include "BundleVerifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>

#include "BundleManifest.h"
#include "LinkSafeTree.h"
#include "MacUtils.h"
#include "RegularFile.h"
#include "RootOnlyFolder.h"
#include "ScopedDir.h"
#include "TextFields.h"
#include "TrustedKeyFolder.h"
#include "UniqueFd.h"

namespace {

struct RunState {
    BundleVerifier::Verdict verdict;
    std::string bundleFolder;
    std::vector<BundleTree::Entry> entries;
    // The file systems' own clock when the check began, against which status-change times
    // (which no owner can set back) tell this run's copies from what earlier runs left.
    struct timespec checked = {0, 0};
};

std::unique_ptr<RunState>& Run() {
    static std::unique_ptr<RunState> state;
    return state;
}

// The part of path below folder; false when it is not below it.
bool Below(const std::string& folder, const std::string& path, std::string& relative) {
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return false;
    relative = path.substr(prefix.size());
    return true;
}

bool EndsWithSuffix(const std::string& path, const std::string& suffix) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return suffix.empty() || (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

bool EntryCopied(const BundleTree::Entry& entry, const std::string& target, std::string& why) {
    switch (entry.type) {
        case BundleTree::Entry::kFolder:
            if (BundleTree::IsFolder(target)) return true;
            why = target + ": no folder";
            return false;
        case BundleTree::Entry::kLink: {
            std::string found;
            if (BundleTree::LinkTarget(target, found) && found == entry.target) return true;
            why = target + ": not the signed link";
            return false;
        }
        case BundleTree::Entry::kFile: {
            std::string digest;
            uint64_t size = 0;
            if (!BundleTree::HashFile(target, entry.size, digest, size, why)) return false;
            if (size == entry.size && digest == entry.sha256) return true;
            why = target + ": not the signed content";
            return false;
        }
    }
    return false;
}

bool NotBefore(const struct timespec& time, const struct timespec& mark) {
    return time.tv_sec > mark.tv_sec || (time.tv_sec == mark.tv_sec && time.tv_nsec >= mark.tv_nsec);
}

// What a copy brought into folder that the manifest does not list under prefix: a file added
// to the bundle after its check. Entries that were there before the check are earlier runs'.
bool NothingAdded(const RunState& state, int folderFd, const std::string& relative, const std::string& prefix,
                  const std::string& suffix, const std::set<std::string>& listed, int depth, std::string& why) {
    ScopedDir dir(folderFd);
    std::vector<std::string> names;
    if (!dir.valid() || !dir.Names(names)) {
        why = relative + ": the copy cannot be listed";
        return false;
    }
    for (const std::string& name : names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const bool counts = suffix.empty() || (!S_ISDIR(st.st_mode) && EndsWithSuffix(name, suffix));
        if (counts && listed.count(prefix + path) == 0 && NotBefore(st.st_ctim, state.checked)) {
            why = path + ": not in the signed bundle";
            return false;
        }
        if (!S_ISDIR(st.st_mode)) continue;
        if (depth >= BundleTree::kMaxDepth) {
            why = path + ": too deep";
            return false;
        }
        UniqueFd below(LinkSafeTree::OpenFolderAt(folderFd, name));
        if (!below.valid() || !NothingAdded(state, below.get(), path, prefix, suffix, listed, depth + 1, why)) {
            if (!below.valid()) why = path + ": the copy cannot be opened";
            return false;
        }
    }
    return true;
}

}  // namespace

const char* BundleVerifier::Verdict::Name() const {
    switch (state) {
        case kValid: return "valid";
        case kInvalid: return "invalid";
        case kUnsigned: break;
    }
    return "unsigned";
}

namespace {

std::string KavexFolder() {
    // The machine root as the folder lookup finds it, without making folders: a check
    // changes nothing, and a folder that is not there trusts nothing.
    const std::string root = MacUtils::SystemRoot();
    return (root == "/" ? std::string() : root) + "/Library/Application Support/Kavex";
}

// The keys of a folder of *.pub; kAbsent and kRead as the folder's reader says.
TrustedKeyFolder::Outcome ReadKeys(const std::string& folder, std::vector<BundleSignature::PublicKey>& keys,
                                   std::string& why) {
    keys.clear();
    std::vector<std::pair<std::string, std::string> > files;
    const TrustedKeyFolder::Outcome outcome = TrustedKeyFolder::Read(folder, files, why);
    if (outcome != TrustedKeyFolder::kRead) return outcome;
    for (const auto& file : files) {
        BundleSignature::PublicKey key;
        if (!BundleSignature::ReadPublicKey(file.second, key)) {
            why = folder + "/" + file.first + ": not a public key";
            return TrustedKeyFolder::kUntrusted;
        }
        keys.push_back(key);
    }
    return TrustedKeyFolder::kRead;
}

bool ReadPolicy(BundleVerifier::Machine& machine, std::string& why) {
    const std::string path = BundleVerifier::TrustPolicyFile();
    RootOnlyFolder folder;
    std::string text;
    switch (folder.Open(KavexFolder(), RootOnlyFolder::kShared, false, why)) {
        case RootOnlyFolder::kAbsent: return true;
        case RootOnlyFolder::kOpen: break;
        default: return false;
    }
    switch (folder.Read("TrustPolicy", 4096, text, why)) {
        case RootOnlyFolder::kAbsent: return true;
        case RootOnlyFolder::kOpen: break;
        default: return false;
    }
    size_t number = 0;
    for (const std::string& line : TextFields::Lines(text)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        if (line == "signatures=required" || line == "signatures=optional") {
            machine.signatures = line == "signatures=required" ? BundleVerifier::Machine::kRequired
                                                               : BundleVerifier::Machine::kOptional;
            continue;
        }
        const std::string value = line.compare(0, 10, "threshold=") == 0 ? line.substr(10) : std::string();
        if (value.size() == 1 && value[0] >= '1' && value[0] <= '9') {
            machine.threshold = static_cast<unsigned>(value[0] - '0');
            continue;
        }
        why = path + ": line " + std::to_string(number) + " is neither threshold=1..9 nor signatures=required|optional";
        return false;
    }
    return true;
}

BundleVerifier::Verdict Refused(BundleVerifier::Verdict verdict, const char* rule, const std::string& reason) {
    verdict.state = BundleVerifier::kInvalid;
    verdict.rule = rule;
    verdict.reason = reason;
    verdict.keyId.clear();
    return verdict;
}

std::string Ids(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) text += (text.empty() ? "" : ", ") + id;
    return text;
}

const BundleSignature::PublicKey* FindKey(const std::vector<BundleSignature::PublicKey>& keys, const std::string& id) {
    for (const BundleSignature::PublicKey& key : keys) {
        if (key.id == id) return &key;
    }
    return nullptr;
}

// The keys the machine trusts now: its folder's, moved along the rotations it met,
// never a revoked one. A remembered rotation keeps its new key even when the old one is
// revoked later (the way out of a leaked key); a statement in a bundle counts only when
// its old key is trusted. Either must be newer than every rotation its old key took part
// in, so a replay changes nothing.
struct Trust {
    std::vector<BundleSignature::PublicKey> chain, known;  // chain: revoked ones too
    std::map<std::string, std::string> replaced;            // old key id: by what, when
    std::map<std::string, int64_t> lastRotation;            // key id: its newest statement
    const std::vector<BundleSignature::PublicKey>* revoked = nullptr;

    bool Revoked(const std::string& id) const { return FindKey(*revoked, id) != nullptr; }
    const BundleSignature::PublicKey* Trusted(const std::string& id) const {
        return Revoked(id) ? nullptr : FindKey(chain, id);
    }
    void Add(const BundleSignature::PublicKey& key) {
        if (FindKey(known, key.id) == nullptr) known.push_back(key);
        if (FindKey(chain, key.id) == nullptr) chain.push_back(key);
    }
    bool Apply(const std::string& oldId, const BundleSignature::PublicKey& newKey, int64_t issued, int64_t when,
               bool remembered) {
        const auto last = lastRotation.find(oldId);
        if ((remembered ? FindKey(chain, oldId) == nullptr : Trusted(oldId) == nullptr) ||
            (last != lastRotation.end() && issued <= last->second)) {
            return false;
        }
        for (auto key = chain.begin(); key != chain.end(); ++key) {
            if (key->id == oldId) {
                chain.erase(key);
                break;
            }
        }
        replaced[oldId] = newKey.id + " on " + BundleManifest::TimeText(when);
        lastRotation[oldId] = issued;
        lastRotation[newKey.id] = std::max(lastRotation[newKey.id], issued);
        Add(newKey);
        replaced.erase(newKey.id);
        return true;
    }
};

}  // namespace

std::string BundleVerifier::TrustedKeysFolder() { return KavexFolder() + "/TrustedKeys"; }
std::string BundleVerifier::RevokedKeysFolder() { return KavexFolder() + "/RevokedKeys"; }
std::string BundleVerifier::TrustPolicyFile() { return KavexFolder() + "/TrustPolicy"; }

bool BundleVerifier::MachineKeys(std::vector<BundleSignature::PublicKey>& keys, std::string& why) {
    return ReadKeys(TrustedKeysFolder(), keys, why) != TrustedKeyFolder::kUntrusted;
}

BundleVerifier::Machine BundleVerifier::LoadMachine() {
    Machine machine;
    std::string why;
    switch (ReadKeys(TrustedKeysFolder(), machine.keys, why)) {
        case TrustedKeyFolder::kAbsent: break;
        case TrustedKeyFolder::kRead: machine.keysFolderPresent = true; break;
        case TrustedKeyFolder::kUntrusted: machine.unusable = why; return machine;
    }
    if (ReadKeys(RevokedKeysFolder(), machine.revoked, why) == TrustedKeyFolder::kUntrusted ||
        !ReadPolicy(machine, why) || !BundleTrustState::Load(machine.state, machine.stateReadable, why)) {
        machine.unusable = why;
    }
    return machine;
}

BundleVerifier::Verdict BundleVerifier::Verify(const std::string& bundleFolder,
                                               const std::vector<BundleSignature::PublicKey>& keys,
                                               std::vector<BundleTree::Entry>* entries) {
    Machine machine;
    machine.keys = keys;
    machine.keysFolderPresent = true;
    return Decide(bundleFolder, machine, static_cast<int64_t>(time(nullptr)), ScopeTest(), entries, nullptr);
}

BundleVerifier::Verdict BundleVerifier::Decide(const std::string& bundleFolder, const Machine& machine, int64_t now,
                                               const ScopeTest& scope, std::vector<BundleTree::Entry>* entries,
                                               BundleTrustState* additions) {
    Verdict verdict;
    verdict.threshold = machine.threshold;
    if (!machine.unusable.empty()) return Refused(verdict, "keysUnusable", "the trusted keys cannot be used: " + machine.unusable);
    Trust trust;
    trust.revoked = &machine.revoked;
    for (const BundleSignature::PublicKey& key : machine.keys) trust.Add(key);
    if (machine.keys.empty()) {
        if (machine.signatures == Machine::kRequired) {
            return Refused(verdict, "signaturesRequired", "signatures are required, and no key is trusted");
        }
        if (!machine.keysFolderPresent && machine.state.trustedSince != 0 && machine.signatures != Machine::kOptional) {
            return Refused(verdict, "keysVanished",
                           "the trusted keys are gone, and this machine has accepted signed bundles since " +
                               BundleManifest::TimeText(machine.state.trustedSince));
        }
        verdict.reason = "no key is trusted";
        return verdict;
    }
    for (const BundleTrustState::Rotated& rotation : machine.state.rotations) {
        trust.Apply(rotation.oldKeyId, rotation.newKey, rotation.issued, rotation.when, true);
    }
    std::string manifestText, signatureText;
    const RegularFile::Outcome manifestRead = RegularFile::Read(bundleFolder + "/" + BundleManifest::kManifestName,
                                                                RegularFile::kNoFinalLink, manifestText,
                                                                BundleManifest::kMaxBytes);
    const RegularFile::Outcome signatureRead = RegularFile::Read(bundleFolder + "/" + BundleManifest::kSignatureName,
                                                                 RegularFile::kNoFinalLink, signatureText,
                                                                 BundleSignature::kMaxFileBytes);
    if (manifestRead == RegularFile::kMissing || signatureRead == RegularFile::kMissing) {
        return Refused(verdict, "notSigned",
                       "the bundle is not signed (no " +
                           std::string(manifestRead == RegularFile::kMissing ? BundleManifest::kManifestName
                                                                             : BundleManifest::kSignatureName) +
                           ")");
    }
    if (manifestRead != RegularFile::kRead || signatureRead != RegularFile::kRead) {
        return Refused(verdict, "notSigned", "the manifest or the signature is not a readable regular file");
    }
    BundleSignature::Signatures signatures;
    std::string why;
    if (!BundleSignature::ReadSignatures(signatureText, signatures, why)) {
        return Refused(verdict, "badSignature", "bad signature: the signature file cannot be read (" + why + ")");
    }
    // A chain of statements may come in any order; each pass applies what it can.
    std::vector<const BundleSignature::Rotation*> applied;
    for (bool more = true; more;) {
        more = false;
        for (const BundleSignature::Rotation& rotation : signatures.rotations) {
            const BundleSignature::PublicKey* old = trust.Trusted(rotation.oldKeyId);
            if (old == nullptr || !BundleSignature::VerifyRotation(*old, rotation)) continue;
            if (trust.Apply(rotation.oldKeyId, rotation.newKey, rotation.issued, now, false)) {
                applied.push_back(&rotation);
                more = true;
            }
        }
    }
    std::vector<std::string> revokedSigners, replacedSigners, others;
    for (const BundleSignature::Signature& signature : signatures.signatures) {
        const BundleSignature::PublicKey* key = trust.Trusted(signature.keyId);
        if (key != nullptr && BundleSignature::Verify(*key, manifestText, signature)) {
            verdict.signers.push_back(key->id);
            continue;
        }
        const BundleSignature::PublicKey* revoked = FindKey(machine.revoked, signature.keyId);
        const BundleSignature::PublicKey* known = FindKey(trust.known, signature.keyId);
        if (revoked != nullptr && BundleSignature::Verify(*revoked, manifestText, signature)) {
            revokedSigners.push_back(signature.keyId);
        } else if (known != nullptr && trust.replaced.count(known->id) != 0 &&
                   BundleSignature::Verify(*known, manifestText, signature)) {
            replacedSigners.push_back(known->id + " (replaced by key " + trust.replaced[known->id] + ")");
        } else {
            others.push_back(signature.keyId);
        }
    }
    verdict.thresholdMet = !verdict.signers.empty() && verdict.signers.size() >= machine.threshold;
    if (verdict.signers.empty()) {
        if (!revokedSigners.empty()) {
            return Refused(verdict, "revoked", "revoked: the bundle is signed by key " + Ids(revokedSigners) +
                                                   ", which this machine revokes");
        }
        if (!replacedSigners.empty()) {
            return Refused(verdict, "replaced", "replaced: the bundle is signed by key " + Ids(replacedSigners));
        }
        return Refused(verdict, "badSignature",
                       "bad signature: the manifest is not signed by a trusted key (signed by " + Ids(others) + ")");
    }
    if (!verdict.thresholdMet) {
        return Refused(verdict, "threshold",
                       "threshold: signed by " + std::to_string(verdict.signers.size()) + " trusted key(s) (" +
                           Ids(verdict.signers) + "), and this machine requires " + std::to_string(machine.threshold));
    }
    std::vector<BundleTree::Entry> listed;
    if (!BundleManifest::Read(manifestText, verdict.release, listed, why)) {
        return Refused(verdict, "manifest", "the manifest cannot be read: " + why);
    }
    verdict.manifestRead = true;
    const BundleManifest::Release& release = verdict.release;
    // A clock a few minutes behind the signer's is no reason to refuse what was just signed.
    const int64_t kClockSkew = 300;
    if (release.format == 2 && now + kClockSkew < release.issued) {
        return Refused(verdict, "notYetValid", "not yet valid: issued " + BundleManifest::TimeText(release.issued) +
                                                   ", and the clock says " + BundleManifest::TimeText(now));
    }
    if (release.format == 2 && now > release.expires) {
        return Refused(verdict, "expired", "expired on " + BundleManifest::TimeText(release.expires));
    }
    // The versions the signers' keys (and the keys they replace) were accepted with.
    BundleTrustState remembered = machine.state;
    for (const BundleSignature::Rotation* rotation : applied) {
        remembered.Rotate({rotation->oldKeyId, rotation->newKey, rotation->issued, now});
    }
    for (const std::string& signer : verdict.signers) {
        if (release.format == 1) {
            const BundleTrustState::Accepted* any = remembered.AnyOf(signer);
            if (any == nullptr) continue;
            return Refused(verdict, "rollback", "rollback: a bundle without a version, signed by key " + signer +
                                                    ", which signed version " + std::to_string(any->version) + " of " +
                                                    any->series + ", accepted on " + BundleManifest::TimeText(any->when));
        }
        const BundleTrustState::Accepted* known = remembered.Find(signer, release.series);
        if (known != nullptr && known->version > release.version) {
            return Refused(verdict, "rollback", "rollback: version " + std::to_string(release.version) + " of " +
                                                    release.series + " is older than " + std::to_string(known->version) +
                                                    ", accepted on " + BundleManifest::TimeText(known->when));
        }
    }
    std::map<std::string, uint64_t> files;
    for (const BundleTree::Entry& entry : listed) {
        if (entry.type == BundleTree::Entry::kFile) files[entry.path] = entry.size;
    }
    // Only a file the manifest expects at that size is worth reading.
    const BundleTree::ReadPolicy read = [&files](const std::string& path, uint64_t size) {
        const auto file = files.find(path);
        return file != files.end() && file->second == size;
    };
    std::vector<BundleTree::Entry> found;
    const std::set<std::string> excluded = {BundleManifest::kManifestName, BundleManifest::kSignatureName};
    if (!BundleTree::Scan(bundleFolder, excluded, read, found, why)) return Refused(verdict, "changed", why);
    const std::string difference = BundleManifest::FirstDifference(listed, found);
    if (!difference.empty()) return Refused(verdict, "changed", difference);
    if (release.format == 2 && scope) {
        const std::string outside = scope(bundleFolder, release.products);
        if (!outside.empty()) return Refused(verdict, "outOfScope", "out of scope: " + outside);
    }
    verdict.state = kValid;
    verdict.rule = "trusted";
    verdict.keyId = verdict.signers.front();
    if (!machine.stateReadable) verdict.reason = "versions not compared: this user may not read the machine's trust state";
    if (entries != nullptr) entries->swap(listed);
    if (additions != nullptr) {
        *additions = BundleTrustState();
        additions->trustedSince = now;
        for (const BundleSignature::Rotation* rotation : applied) {
            additions->rotations.push_back({rotation->oldKeyId, rotation->newKey, rotation->issued, now});
        }
        if (release.format == 2) {
            for (const std::string& signer : verdict.signers) additions->accepted.push_back({signer, release.series, release.version, now});
        }
    }
    return verdict;
}

const BundleVerifier::Verdict& BundleVerifier::CheckRun(const std::string& bundleFolder) {
    return CheckRun(bundleFolder, RunOptions());
}

const BundleVerifier::Verdict& BundleVerifier::CheckRun(const std::string& bundleFolder, const RunOptions& options) {
    std::unique_ptr<RunState> state(new RunState);
    state->bundleFolder = bundleFolder;
    clock_gettime(CLOCK_REALTIME_COARSE, &state->checked);
    const Machine machine = LoadMachine();
    BundleTrustState additions;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    state->verdict = Decide(bundleFolder, machine, now, options.scope, &state->entries, options.record ? &additions : nullptr);
    std::string why;
    if (options.record && state->verdict.state == kValid && !BundleTrustState::Record(additions, why)) {
        state->verdict = Refused(state->verdict, "keysUnusable", "the machine's trust state cannot be written: " + why);
        state->entries.clear();
    }
    Run() = std::move(state);
    return Run()->verdict;
}

const BundleVerifier::Verdict* BundleVerifier::RunVerdict() { return Run() ? &Run()->verdict : nullptr; }

bool BundleVerifier::CopiesMatch(const std::string& source, const std::string& target, const std::string& suffix,
                                 std::string& why) {
    const RunState* state = Run().get();
    if (state == nullptr || state->verdict.state != kValid) return true;
    std::string relative;
    if (!Below(state->bundleFolder, source, relative)) {
        why = source + ": not in the signed bundle";
        return false;
    }
    const std::string prefix = relative + "/";
    for (const BundleTree::Entry& entry : state->entries) {
        if (entry.path.compare(0, prefix.size(), prefix) != 0) continue;
        // A copy by suffix makes the folders it needs, and copies only what ends so.
        if (!suffix.empty() && (entry.type == BundleTree::Entry::kFolder || !EndsWithSuffix(entry.path, suffix))) continue;
        if (!EntryCopied(entry, target + "/" + entry.path.substr(prefix.size()), why)) return false;
    }
    std::set<std::string> listed;
    for (const BundleTree::Entry& entry : state->entries) listed.insert(entry.path);
    UniqueFd top(LinkSafeTree::OpenFolder(target));
    if (!top.valid() || !NothingAdded(*state, top.get(), std::string(), prefix, suffix, listed, 0, why)) {
        why = target + (top.valid() ? "/" + why : ": the copy cannot be opened");
        return false;
    }
    return true;
}

bool BundleVerifier::CopyOfFileMatches(const std::string& sourceFile, const std::string& targetFile, std::string& why) {
    const RunState* state = Run().get();
    if (state == nullptr || state->verdict.state != kValid) return true;
    std::string relative;
    if (!Below(state->bundleFolder, sourceFile, relative)) {
        why = sourceFile + ": not in the signed bundle";
        return false;
    }
    for (const BundleTree::Entry& entry : state->entries) {
        if (entry.path == relative) return EntryCopied(entry, targetFile, why);
    }
    why = sourceFile + ": not in the signed bundle";
    return false;
}

// The string of main.xml that says why the bundle was refused, by the verdict's rule.
const char* BundleVerifier::RefusalStringId(const std::string& rule) {
    static const std::map<std::string, const char*> kIds = {
        {"notSigned", "locBundleRuleNotSigned"},
        {"badSignature", "locBundleRuleBadSignature"},
        {"manifest", "locBundleRuleManifest"},
        {"changed", "locBundleRuleChanged"},
        {"keysUnusable", "locBundleRuleKeysUnusable"},
        {"keysVanished", "locBundleRuleKeysVanished"},
        {"signaturesRequired", "locBundleRuleSignaturesRequired"},
        {"threshold", "locBundleRuleThreshold"},
        {"revoked", "locBundleRuleRevoked"},
        {"replaced", "locBundleRuleReplaced"},
        {"rollback", "locBundleRuleRollback"},
        {"expired", "locBundleRuleExpired"},
        {"notYetValid", "locBundleRuleNotYetValid"},
        {"outOfScope", "locBundleRuleOutOfScope"},
    };
    const auto id = kIds.find(rule);
    return id != kIds.end() ? id->second : nullptr;
}
