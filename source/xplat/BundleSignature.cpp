#include "BundleSignature.h"

#include <sodium.h>

#include <vector>

#include "TextFields.h"

namespace {

const char* const kPublicWord = "kavex-bundle-public-key";
const char* const kSecretWord = "kavex-bundle-secret-key";
const char* const kSignatureWord = "kavex-bundle-signature";
const char* const kRotationWord = "kavex-bundle-rotation";

bool IsKeyId(const std::string& word) {
    return word.size() == 16 && word.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool ParseSeconds(const std::string& word, int64_t& value) {
    if (word.empty() || word.size() > 12 || word.find_first_not_of("0123456789") != std::string::npos ||
        (word.size() > 1 && word[0] == '0')) {
        return false;
    }
    value = std::stoll(word);
    return true;
}

bool Ready() { return sodium_init() >= 0; }

std::string Base64(const std::string& bytes) {
    std::vector<char> text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    return text.data();
}

// Exactly `size` bytes, and nothing but the encoding in the word.
bool FromBase64(const std::string& word, size_t size, std::string& bytes) {
    if (!Ready()) return false;
    std::vector<unsigned char> out(size + 3);
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), word.data(), word.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != word.data() + word.size() || length != size) {
        return false;
    }
    bytes.assign(reinterpret_cast<const char*>(out.data()), length);
    // The decoder takes some bytes outside the alphabet (0xA0 reads as a letter): only
    // the one text the encoder writes counts.
    return Base64(bytes) == word;
}

// One line of space-separated words, with or without its line break.
std::vector<std::string> Words(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::vector<std::string> words;
    if (text.empty() || text.find('\n') != std::string::npos) return words;
    return TextFields::Split(text, ' ');
}

std::string KeyId(const std::string& publicKey) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(publicKey.data()), publicKey.size());
    static const char kDigits[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 8; ++i) {
        id += kDigits[digest[i] >> 4];
        id += kDigits[digest[i] & 15];
    }
    return id;
}

}  // namespace

bool BundleSignature::Generate(PublicKey& publicKey, SecretKey& secretKey) {
    if (!Ready()) return false;
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    if (crypto_sign_keypair(pk, sk) != 0) return false;
    publicKey.bytes.assign(reinterpret_cast<const char*>(pk), sizeof(pk));
    secretKey.bytes.assign(reinterpret_cast<const char*>(sk), sizeof(sk));
    sodium_memzero(sk, sizeof(sk));
    publicKey.id = secretKey.id = KeyId(publicKey.bytes);
    return true;
}

std::string BundleSignature::PublicKeyText(const PublicKey& key) {
    return std::string(kPublicWord) + " " + Base64(key.bytes) + "\n";
}

std::string BundleSignature::SecretKeyText(const SecretKey& key) {
    return std::string(kSecretWord) + " " + Base64(key.bytes) + "\n";
}

std::string BundleSignature::SignatureText(const Signature& signature) {
    return std::string(kSignatureWord) + " " + signature.keyId + " " + Base64(signature.bytes) + "\n";
}

bool BundleSignature::ReadPublicKey(const std::string& text, PublicKey& key) {
    const std::vector<std::string> words = Words(text);
    if (words.size() != 2 || words[0] != kPublicWord || !FromBase64(words[1], crypto_sign_PUBLICKEYBYTES, key.bytes)) {
        return false;
    }
    key.id = KeyId(key.bytes);
    return true;
}

bool BundleSignature::ReadSecretKey(const std::string& text, SecretKey& key) {
    const std::vector<std::string> words = Words(text);
    if (words.size() != 2 || words[0] != kSecretWord || !FromBase64(words[1], crypto_sign_SECRETKEYBYTES, key.bytes)) {
        return false;
    }
    // libsodium keeps the public key in the second half of the secret one.
    key.id = KeyId(key.bytes.substr(crypto_sign_SEEDBYTES));
    return true;
}

bool BundleSignature::ReadSignature(const std::string& text, Signature& signature) {
    const std::vector<std::string> words = Words(text);
    if (words.size() != 3 || words[0] != kSignatureWord || !IsKeyId(words[1]) ||
        !FromBase64(words[2], crypto_sign_BYTES, signature.bytes)) {
        return false;
    }
    signature.keyId = words[1];
    return true;
}

BundleSignature::Signature BundleSignature::Sign(const SecretKey& key, const std::string& message) {
    Signature signature;
    if (!Ready() || key.bytes.size() != crypto_sign_SECRETKEYBYTES) return signature;
    unsigned char bytes[crypto_sign_BYTES];
    crypto_sign_detached(bytes, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         reinterpret_cast<const unsigned char*>(key.bytes.data()));
    signature.bytes.assign(reinterpret_cast<const char*>(bytes), sizeof(bytes));
    signature.keyId = key.id;
    return signature;
}

bool BundleSignature::Verify(const PublicKey& key, const std::string& message, const Signature& signature) {
    if (!Ready() || key.bytes.size() != crypto_sign_PUBLICKEYBYTES || signature.bytes.size() != crypto_sign_BYTES) {
        return false;
    }
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.bytes.data()),
                                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                       reinterpret_cast<const unsigned char*>(key.bytes.data())) == 0;
}

std::string BundleSignature::Rotation::Statement() const {
    // What the old key signs: no other message of the program has this first line.
    return "kavex-bundle-rotation-statement 1\nold " + oldKeyId + "\nnew " + Base64(newKey.bytes) + "\nissued " +
           std::to_string(issued) + "\n";
}

std::string BundleSignature::RotationText(const Rotation& rotation) {
    return std::string(kRotationWord) + " " + rotation.oldKeyId + " " + Base64(rotation.newKey.bytes) + " " +
           std::to_string(rotation.issued) + " " + Base64(rotation.bytes) + "\n";
}

bool BundleSignature::ReadRotation(const std::string& line, Rotation& rotation) {
    const std::vector<std::string> words = Words(line);
    if (words.size() != 5 || words[0] != kRotationWord || !IsKeyId(words[1]) ||
        !FromBase64(words[2], crypto_sign_PUBLICKEYBYTES, rotation.newKey.bytes) || !ParseSeconds(words[3], rotation.issued) ||
        !FromBase64(words[4], crypto_sign_BYTES, rotation.bytes)) {
        return false;
    }
    rotation.oldKeyId = words[1];
    rotation.newKey.id = KeyId(rotation.newKey.bytes);
    return rotation.newKey.id != rotation.oldKeyId;
}

std::string BundleSignature::SignaturesText(const Signatures& signatures) {
    std::string text;
    for (const Signature& signature : signatures.signatures) text += SignatureText(signature);
    for (const Rotation& rotation : signatures.rotations) text += RotationText(rotation);
    return text;
}

bool BundleSignature::ReadSignatures(const std::string& text, Signatures& signatures, std::string& why) {
    signatures = Signatures();
    if (text.size() > kMaxFileBytes || text.empty() || text.back() != '\n') {
        why = "not a signature file";
        return false;
    }
    size_t start = 0, number = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        Signature signature;
        Rotation rotation;
        if (ReadSignature(line, signature)) {
            // Signatures first, then statements: one text for one content.
            if (!signatures.rotations.empty() || signatures.signatures.size() >= kMaxSignatures) {
                why = where + "a signature after a statement, or too many signatures";
                return false;
            }
            for (const Signature& other : signatures.signatures) {
                if (other.keyId == signature.keyId) {
                    why = where + "key " + signature.keyId + " signs twice";
                    return false;
                }
            }
            signatures.signatures.push_back(signature);
        } else if (ReadRotation(line, rotation)) {
            if (signatures.rotations.size() >= kMaxRotations) {
                why = where + "too many statements";
                return false;
            }
            signatures.rotations.push_back(rotation);
        } else {
            why = where + "neither a signature nor a key statement";
            return false;
        }
    }
    if (signatures.signatures.empty()) {
        why = "no signature";
        return false;
    }
    return true;
}

BundleSignature::Rotation BundleSignature::Rotate(const SecretKey& oldKey, const PublicKey& newKey, int64_t issued) {
    Rotation rotation;
    rotation.oldKeyId = oldKey.id;
    rotation.newKey = newKey;
    rotation.issued = issued;
    rotation.bytes = Sign(oldKey, rotation.Statement()).bytes;
    return rotation;
}

bool BundleSignature::VerifyRotation(const PublicKey& oldKey, const Rotation& rotation) {
    if (oldKey.id != rotation.oldKeyId) return false;
    Signature signature;
    signature.keyId = oldKey.id;
    signature.bytes = rotation.bytes;
    return Verify(oldKey, rotation.Statement(), signature);
}
