// Ed25519 keys and detached signatures of a bundle's manifest, as one-line text
// files a person can read (libsodium does the cryptography):
//
//   kavex-bundle-public-key <base64 of 32 bytes>
//   kavex-bundle-secret-key <base64 of 64 bytes>
//   kavex-bundle-signature <key id> <base64 of 64 bytes>
//
// A key id is the first 8 bytes of the SHA-256 of the public key, in hexadecimal.
//
// A bundle's signature file holds one signature line per signer, and may carry
// statements by which an old key hands its trust to a new one:
//
//   kavex-bundle-rotation <old key id> <base64 of the new public key> <issued> <base64 of 64 bytes>
#ifndef BUNDLE_SIGNATURE_H
#define BUNDLE_SIGNATURE_H

#include <cstdint>
#include <string>
#include <vector>

class BundleSignature {
public:
    struct PublicKey {
        std::string bytes;  // 32
        std::string id;
    };
    struct SecretKey {
        std::string bytes;  // 64: the seed and the public key
        std::string id;
    };
    struct Signature {
        std::string keyId;  // the signer's, as the file says
        std::string bytes;  // 64
    };

    struct Rotation {
        std::string oldKeyId;
        PublicKey newKey;
        int64_t issued = 0;
        std::string bytes;  // 64: the old key's signature of Statement()
        std::string Statement() const;
    };
    struct Signatures {
        std::vector<Signature> signatures;  // distinct signers
        std::vector<Rotation> rotations;
    };
    static const size_t kMaxSignatures = 16;
    static const size_t kMaxRotations = 16;
    static const size_t kMaxFileBytes = 16384;

    static bool Generate(PublicKey& publicKey, SecretKey& secretKey);

    static std::string PublicKeyText(const PublicKey& key);
    static std::string SecretKeyText(const SecretKey& key);
    static std::string SignatureText(const Signature& signature);
    static bool ReadPublicKey(const std::string& text, PublicKey& key);
    static bool ReadSecretKey(const std::string& text, SecretKey& key);
    static bool ReadSignature(const std::string& text, Signature& signature);
    static std::string SignaturesText(const Signatures& signatures);
    // Strict: false, with the line and why, for anything SignaturesText would not write.
    static bool ReadSignatures(const std::string& text, Signatures& signatures, std::string& why);
    static std::string RotationText(const Rotation& rotation);
    static bool ReadRotation(const std::string& line, Rotation& rotation);

    static Signature Sign(const SecretKey& key, const std::string& message);
    static bool Verify(const PublicKey& key, const std::string& message, const Signature& signature);
    static Rotation Rotate(const SecretKey& oldKey, const PublicKey& newKey, int64_t issued);
    static bool VerifyRotation(const PublicKey& oldKey, const Rotation& rotation);
};

#endif
