// Whether the bundle is the one its product team signed, before anything runs as root.
// With no trusted key the bundle is "unsigned" and runs as it always did; with one, it
// must carry a manifest signed by enough trusted keys, match it exactly, be in its
// time, newer than what the machine accepted, and patch only what it names, or it is
// "invalid". Every verdict names the rule that decided it (Verdict::rule).
#ifndef BUNDLE_VERIFIER_H
#define BUNDLE_VERIFIER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BundleManifest.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleTrustState.h"

class BundleVerifier {
public:
    enum State { kUnsigned, kValid, kInvalid };
    struct Verdict {
        State state = kUnsigned;
        // "trusted" (valid), "noKeyTrusted" (unsigned), else the refusal's: "notSigned",
        // "badSignature", "manifest", "changed", "keysUnusable", "keysVanished",
        // "signaturesRequired", "threshold", "revoked", "replaced", "rollback", "expired",
        // "notYetValid", "outOfScope".
        std::string rule = "noKeyTrusted";
        std::string keyId;   // the first trusted key that signed it
        std::string reason;  // why it is invalid or unsigned
        bool manifestRead = false;  // release holds the signed manifest's
        BundleManifest::Release release;
        std::vector<std::string> signers;  // the trusted keys whose signatures count
        unsigned threshold = 1;
        bool thresholdMet = false;
        const char* Name() const;  // "valid", "invalid", "unsigned"
    };

    // What the machine's administrator and its past runs say, under the machine root.
    struct Machine {
        enum Signatures { kAsKeys, kRequired, kOptional };
        std::vector<BundleSignature::PublicKey> keys;     // TrustedKeys
        std::vector<BundleSignature::PublicKey> revoked;  // RevokedKeys
        bool keysFolderPresent = false;
        unsigned threshold = 1;           // TrustPolicy threshold=N
        Signatures signatures = kAsKeys;  // TrustPolicy signatures=required|optional
        BundleTrustState state;
        bool stateReadable = true;  // false: an ordinary user, who may not read it
        std::string unusable;       // not empty: nothing can be trusted, and why
    };

    // The first base product code of the bundle's patches that products does not name
    // (with the patch), empty when all are named.
    typedef std::function<std::string(const std::string& bundleFolder, const std::vector<std::string>& products)> ScopeTest;
    struct RunOptions {
        // A run that goes on to install, as root: remember what it accepted.
        bool record = false;
        ScopeTest scope;
    };

    // The folders of trusted and revoked keys, and the policy, under the machine root.
    static std::string TrustedKeysFolder();
    static std::string RevokedKeysFolder();
    static std::string TrustPolicyFile();
    // The machine's trusted keys; false (with why) when their folder is there but others
    // than root can change it, or a key in it cannot be read: nothing can be trusted then.
    static bool MachineKeys(std::vector<BundleSignature::PublicKey>& keys, std::string& why);
    static Machine LoadMachine();

    // The bundle folder against keys alone; entries gets what the manifest lists when it is valid.
    static Verdict Verify(const std::string& bundleFolder, const std::vector<BundleSignature::PublicKey>& keys,
                          std::vector<BundleTree::Entry>* entries = nullptr);
    // Against a machine at time now; additions gets what a recording run keeps.
    static Verdict Decide(const std::string& bundleFolder, const Machine& machine, int64_t now, const ScopeTest& scope,
                          std::vector<BundleTree::Entry>* entries, BundleTrustState* additions);

    // This run's verdict, against the machine; kept for the copies.
    static const Verdict& CheckRun(const std::string& bundleFolder);
    static const Verdict& CheckRun(const std::string& bundleFolder, const RunOptions& options);
    // Null before CheckRun.
    static const Verdict* RunVerdict();
    // The string of main.xml that says why a bundle was refused, by the verdict's rule; null
    // for a rule without one.
    static const char* RefusalStringId(const std::string& rule);

    // For a signed run: what a copy put under target is what the manifest lists under
    // source (names ending with suffix; every entry with an empty one). Always true unsigned.
    static bool CopiesMatch(const std::string& source, const std::string& target, const std::string& suffix,
                            std::string& why);
    static bool CopyOfFileMatches(const std::string& sourceFile, const std::string& targetFile, std::string& why);
};

#endif
