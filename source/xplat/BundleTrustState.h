// What a machine remembers of the bundles it accepted, kept by root under the machine
// root (var/lib/kavex/trust/state): that it trusted keys, the highest version of each
// series each key signed, and the keys that replaced others.
//
//   kavex-trust-state 1
//   trusted 2026-12-09T03:00:00Z
//   accepted <key id> <series> <version> <date>
//   rotated <old key id> <base64 of the new public key> <statement's issued seconds> <date>
#ifndef BUNDLE_TRUST_STATE_H
#define BUNDLE_TRUST_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "BundleSignature.h"

class BundleTrustState {
public:
    struct Accepted {
        std::string keyId, series;
        uint64_t version = 0;
        int64_t when = 0;
    };
    struct Rotated {
        std::string oldKeyId;
        BundleSignature::PublicKey newKey;
        int64_t issued = 0, when = 0;
    };
    static const size_t kMaxBytes = 1024 * 1024;

    int64_t trustedSince = 0;  // 0: no signed bundle accepted yet
    std::vector<Accepted> accepted;
    std::vector<Rotated> rotations;

    static std::string Folder();  // under the machine root
    static bool Parse(const std::string& text, BundleTrustState& state, std::string& why);
    std::string Text() const;

    // The entry for key and series, or null.
    const Accepted* Find(const std::string& keyId, const std::string& series) const;
    // Any series the key has signed, or null.
    const Accepted* AnyOf(const std::string& keyId) const;
    // Keeps the higher version; a rotation once.
    void Accept(const Accepted& entry);
    void Rotate(const Rotated& rotation);

    // The machine's state: absent is empty; denied (an ordinary user) sets readable false.
    static bool Load(BundleTrustState& state, bool& readable, std::string& why);
    // Merges what this run adds into the state on disk, under the folder's lock.
    static bool Record(const BundleTrustState& additions, std::string& why);
};

#endif
