#include "BundleVerifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <memory>

#include "BundleManifest.h"
#include "LinkSafeTree.h"
#include "MacUtils.h"
#include "RegularFile.h"
#include "ScopedDir.h"
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

BundleVerifier::Verdict Invalid(const std::string& reason) {
    BundleVerifier::Verdict verdict;
    verdict.state = BundleVerifier::kInvalid;
    verdict.reason = reason;
    return verdict;
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

std::string BundleVerifier::TrustedKeysFolder() {
    // The machine root as the folder lookup finds it, without making folders: a check
    // changes nothing, and a folder that is not there trusts nothing.
    const std::string root = MacUtils::SystemRoot();
    return (root == "/" ? std::string() : root) + "/Library/Application Support/Kavex/TrustedKeys";
}

bool BundleVerifier::MachineKeys(std::vector<BundleSignature::PublicKey>& keys, std::string& why) {
    keys.clear();
    const std::string folder = TrustedKeysFolder();
    std::vector<std::pair<std::string, std::string> > files;
    switch (TrustedKeyFolder::Read(folder, files, why)) {
        case TrustedKeyFolder::kAbsent: return true;
        case TrustedKeyFolder::kUntrusted: return false;
        case TrustedKeyFolder::kRead: break;
    }
    for (const auto& file : files) {
        BundleSignature::PublicKey key;
        if (!BundleSignature::ReadPublicKey(file.second, key)) {
            why = folder + "/" + file.first + ": not a public key";
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

BundleVerifier::Verdict BundleVerifier::Verify(const std::string& bundleFolder,
                                               const std::vector<BundleSignature::PublicKey>& keys,
                                               std::vector<BundleTree::Entry>* entries) {
    Verdict verdict;
    if (keys.empty()) {
        verdict.reason = "no key is trusted";
        return verdict;
    }
    std::string manifestText, signatureText;
    const RegularFile::Outcome manifestRead = RegularFile::Read(bundleFolder + "/" + BundleManifest::kManifestName,
                                                                RegularFile::kNoFinalLink, manifestText,
                                                                BundleManifest::kMaxBytes);
    const RegularFile::Outcome signatureRead = RegularFile::Read(bundleFolder + "/" + BundleManifest::kSignatureName,
                                                                 RegularFile::kNoFinalLink, signatureText, 4096);
    if (manifestRead == RegularFile::kMissing || signatureRead == RegularFile::kMissing) {
        return Invalid("the bundle is not signed (no " +
                       std::string(manifestRead == RegularFile::kMissing ? BundleManifest::kManifestName
                                                                         : BundleManifest::kSignatureName) +
                       ")");
    }
    if (manifestRead != RegularFile::kRead || signatureRead != RegularFile::kRead) {
        return Invalid("the manifest or the signature is not a readable regular file");
    }
    BundleSignature::Signature signature;
    if (!BundleSignature::ReadSignature(signatureText, signature)) return Invalid("bad signature: the signature file cannot be read");
    const BundleSignature::PublicKey* signer = nullptr;
    for (const BundleSignature::PublicKey& key : keys) {
        if (BundleSignature::Verify(key, manifestText, signature)) {
            signer = &key;
            break;
        }
    }
    if (signer == nullptr) return Invalid("bad signature: the manifest is not signed by a trusted key (signed by " + signature.keyId + ")");
    std::vector<BundleTree::Entry> listed;
    std::string why;
    if (!BundleManifest::Read(manifestText, listed, why)) return Invalid("the manifest cannot be read: " + why);
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
    if (!BundleTree::Scan(bundleFolder, excluded, read, found, why)) return Invalid(why);
    const std::string difference = BundleManifest::FirstDifference(listed, found);
    if (!difference.empty()) return Invalid(difference);
    verdict.state = kValid;
    verdict.keyId = signer->id;
    if (entries != nullptr) entries->swap(listed);
    return verdict;
}

const BundleVerifier::Verdict& BundleVerifier::CheckRun(const std::string& bundleFolder) {
    std::unique_ptr<RunState> state(new RunState);
    state->bundleFolder = bundleFolder;
    clock_gettime(CLOCK_REALTIME_COARSE, &state->checked);
    std::vector<BundleSignature::PublicKey> keys;
    std::string why;
    if (!MachineKeys(keys, why)) {
        state->verdict = Invalid("the trusted keys cannot be used: " + why);
    } else {
        state->verdict = Verify(bundleFolder, keys, &state->entries);
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
