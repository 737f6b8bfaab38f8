// Ed25519 keys and detached signatures of a bundle's manifest, as one-line text
// files a person can read (libsodium does the cryptography):
//
//   kavex-bundle-public-key <base64 of 32 bytes>
//   kavex-bundle-secret-key <base64 of 64 bytes>
//   kavex-bundle-signature <key id> <base64 of 64 bytes>
//
// A key id is the first 8 bytes of the SHA-256 of the public key, in hexadecimal.
#ifndef BUNDLE_SIGNATURE_H
#define BUNDLE_SIGNATURE_H

#include <string>

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

    static bool Generate(PublicKey& publicKey, SecretKey& secretKey);

    static std::string PublicKeyText(const PublicKey& key);
    static std::string SecretKeyText(const SecretKey& key);
    static std::string SignatureText(const Signature& signature);
    static bool ReadPublicKey(const std::string& text, PublicKey& key);
    static bool ReadSecretKey(const std::string& text, SecretKey& key);
    static bool ReadSignature(const std::string& text, Signature& signature);

    static Signature Sign(const SecretKey& key, const std::string& message);
    static bool Verify(const PublicKey& key, const std::string& message, const Signature& signature);
};

#endif
