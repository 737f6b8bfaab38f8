#include "BundleSignature.h"

#include <sodium.h>

#include <vector>

namespace {

const char* const kPublicWord = "kavex-bundle-public-key";
const char* const kSecretWord = "kavex-bundle-secret-key";
const char* const kSignatureWord = "kavex-bundle-signature";

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
    return true;
}

// One line of space-separated words, with or without its line break.
std::vector<std::string> Words(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::vector<std::string> words;
    if (text.empty() || text.find('\n') != std::string::npos) return words;
    size_t start = 0;
    for (;;) {
        const size_t space = text.find(' ', start);
        words.push_back(text.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    return words;
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
    if (words.size() != 3 || words[0] != kSignatureWord || words[1].size() != 16 ||
        words[1].find_first_not_of("0123456789abcdef") != std::string::npos ||
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
