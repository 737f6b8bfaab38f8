#include "BundleTrustState.h"

#include "BundleManifest.h"
#include "MacUtils.h"
#include "RootOnlyFolder.h"
#include "TextFields.h"

namespace {

const char* const kHeader = "kavex-trust-state 1";
const char* const kFile = "state";
const size_t kMaxEntries = 4096;

std::vector<std::string> Words(const std::string& line) { return TextFields::Split(line, ' '); }

bool Number(const std::string& word, uint64_t& value) {
    if (word.empty() || word.size() > 19 || word.find_first_not_of("0123456789") != std::string::npos ||
        (word.size() > 1 && word[0] == '0')) {
        return false;
    }
    value = std::stoull(word);
    return true;
}

bool IsKeyId(const std::string& word) {
    return word.size() == 16 && word.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string BundleTrustState::Folder() {
    const std::string root = MacUtils::SystemRoot();
    return (root == "/" ? std::string() : root) + "/var/lib/kavex/trust";
}

bool BundleTrustState::Parse(const std::string& text, BundleTrustState& state, std::string& why) {
    state = BundleTrustState();
    size_t number = 0;
    for (const std::string& line : TextFields::Lines(text)) {
        ++number;
        const std::vector<std::string> words = Words(line);
        bool ok = false;
        if (number == 1) {
            ok = line == kHeader;
        } else if (state.accepted.size() + state.rotations.size() >= kMaxEntries) {
            ok = false;
        } else if (words[0] == "trusted" && words.size() == 2) {
            ok = BundleManifest::ParseTime(words[1], state.trustedSince);
        } else if (words[0] == "accepted" && words.size() == 5) {
            Accepted entry;
            entry.keyId = words[1];
            entry.series = words[2];
            ok = IsKeyId(entry.keyId) && BundleManifest::IsSeriesName(entry.series) && Number(words[3], entry.version) &&
                 BundleManifest::ParseTime(words[4], entry.when);
            if (ok) state.accepted.push_back(entry);
        } else if (words[0] == "rotated" && words.size() == 5) {
            Rotated rotation;
            rotation.oldKeyId = words[1];
            uint64_t issued = 0;
            ok = IsKeyId(rotation.oldKeyId) &&
                 BundleSignature::ReadPublicKey("kavex-bundle-public-key " + words[2], rotation.newKey) &&
                 Number(words[3], issued) && BundleManifest::ParseTime(words[4], rotation.when);
            rotation.issued = static_cast<int64_t>(issued);
            if (ok) state.rotations.push_back(rotation);
        }
        if (!ok) {
            why = "line " + std::to_string(number) + " cannot be read";
            return false;
        }
    }
    if (number == 0) {
        why = "empty";
        return false;
    }
    return true;
}

std::string BundleTrustState::Text() const {
    std::string text = std::string(kHeader) + "\n";
    if (trustedSince != 0) text += "trusted " + BundleManifest::TimeText(trustedSince) + "\n";
    for (const Accepted& entry : accepted) {
        text += "accepted " + entry.keyId + " " + entry.series + " " + std::to_string(entry.version) + " " +
                BundleManifest::TimeText(entry.when) + "\n";
    }
    for (const Rotated& rotation : rotations) {
        const std::string key = BundleSignature::PublicKeyText(rotation.newKey);
        text += "rotated " + rotation.oldKeyId + " " + key.substr(key.find(' ') + 1, key.size() - key.find(' ') - 2) + " " +
                std::to_string(rotation.issued) + " " + BundleManifest::TimeText(rotation.when) + "\n";
    }
    return text;
}

const BundleTrustState::Accepted* BundleTrustState::Find(const std::string& keyId, const std::string& series) const {
    for (const Accepted& entry : accepted) {
        if (entry.keyId == keyId && entry.series == series) return &entry;
    }
    return nullptr;
}

const BundleTrustState::Accepted* BundleTrustState::AnyOf(const std::string& keyId) const {
    for (const Accepted& entry : accepted) {
        if (entry.keyId == keyId) return &entry;
    }
    return nullptr;
}

void BundleTrustState::Accept(const Accepted& entry) {
    for (Accepted& known : accepted) {
        if (known.keyId != entry.keyId || known.series != entry.series) continue;
        // The same version again is a re-run: its first date stays.
        if (entry.version > known.version) known = entry;
        return;
    }
    accepted.push_back(entry);
}

void BundleTrustState::Rotate(const Rotated& rotation) {
    for (const Rotated& known : rotations) {
        if (known.oldKeyId == rotation.oldKeyId && known.newKey.id == rotation.newKey.id) return;
    }
    rotations.push_back(rotation);
    // The new key carries on the old one's releases: a rollback stays one.
    const std::vector<Accepted> inherited = accepted;
    for (const Accepted& entry : inherited) {
        if (entry.keyId != rotation.oldKeyId) continue;
        Accepted copy = entry;
        copy.keyId = rotation.newKey.id;
        Accept(copy);
    }
}

bool BundleTrustState::Load(BundleTrustState& state, bool& readable, std::string& why) {
    state = BundleTrustState();
    readable = true;
    RootOnlyFolder folder;
    std::string text;
    switch (folder.Open(Folder(), RootOnlyFolder::kPrivate, false, why)) {
        case RootOnlyFolder::kAbsent: return true;
        case RootOnlyFolder::kDenied: readable = false; return true;
        case RootOnlyFolder::kUntrusted: return false;
        case RootOnlyFolder::kOpen: break;
    }
    switch (folder.Read(kFile, kMaxBytes, text, why)) {
        case RootOnlyFolder::kAbsent: return true;
        case RootOnlyFolder::kDenied: readable = false; return true;
        case RootOnlyFolder::kUntrusted: return false;
        case RootOnlyFolder::kOpen: break;
    }
    if (Parse(text, state, why)) return true;
    why = Folder() + "/" + kFile + ": " + why;
    return false;
}

bool BundleTrustState::Record(const BundleTrustState& additions, std::string& why) {
    RootOnlyFolder folder;
    if (folder.Open(Folder(), RootOnlyFolder::kPrivate, true, why) != RootOnlyFolder::kOpen || !folder.Lock(why)) return false;
    std::string text;
    BundleTrustState state;
    switch (folder.Read(kFile, kMaxBytes, text, why)) {
        case RootOnlyFolder::kAbsent: break;
        case RootOnlyFolder::kOpen:
            if (!Parse(text, state, why)) return false;
            break;
        default: return false;
    }
    if (state.trustedSince == 0) state.trustedSince = additions.trustedSince;
    for (const Rotated& rotation : additions.rotations) state.Rotate(rotation);
    for (const Accepted& entry : additions.accepted) state.Accept(entry);
    const std::string updated = state.Text();
    return updated == text || folder.Write(kFile, updated, why);
}
