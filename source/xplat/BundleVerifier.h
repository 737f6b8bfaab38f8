// Whether the bundle is the one its product team signed, before anything runs as root.
// With no trusted key the bundle is "unsigned" and runs as it always did; with one, it
// must carry a manifest signed by a trusted key and match it exactly, or it is "invalid".
#ifndef BUNDLE_VERIFIER_H
#define BUNDLE_VERIFIER_H

#include <string>
#include <vector>

#include "BundleSignature.h"
#include "BundleTree.h"

class BundleVerifier {
public:
    enum State { kUnsigned, kValid, kInvalid };
    struct Verdict {
        State state = kUnsigned;
        std::string keyId;   // the trusted key that signed it
        std::string reason;  // why it is invalid or unsigned
        const char* Name() const;  // "valid", "invalid", "unsigned"
    };

    // The folder of trusted keys under the machine root: the "KavexCommon" folder's TrustedKeys.
    static std::string TrustedKeysFolder();
    // The machine's trusted keys; false (with why) when their folder is there but others
    // than root can change it, or a key in it cannot be read: nothing can be trusted then.
    static bool MachineKeys(std::vector<BundleSignature::PublicKey>& keys, std::string& why);

    // The bundle folder against keys; entries gets what the manifest lists when it is valid.
    static Verdict Verify(const std::string& bundleFolder, const std::vector<BundleSignature::PublicKey>& keys,
                          std::vector<BundleTree::Entry>* entries = nullptr);

    // This run's verdict, against the machine's keys; kept for the copies.
    static const Verdict& CheckRun(const std::string& bundleFolder);
    // Null before CheckRun.
    static const Verdict* RunVerdict();

    // For a signed run: what a copy put under target is what the manifest lists under
    // source (names ending with suffix; every entry with an empty one). Always true unsigned.
    static bool CopiesMatch(const std::string& source, const std::string& target, const std::string& suffix,
                            std::string& why);
    static bool CopyOfFileMatches(const std::string& sourceFile, const std::string& targetFile, std::string& why);
};

#endif
