#include "Sha256.h"

#include <dlfcn.h>
#include <sodium.h>

#include <cstdint>
#include <mutex>

namespace {

struct Crypto {
    void* (*newContext)() = nullptr;
    const void* (*sha256)() = nullptr;
    int (*init)(void*, const void*, void*) = nullptr;
    int (*update)(void*, const void*, size_t) = nullptr;
    int (*final)(void*, unsigned char*, unsigned int*) = nullptr;
    void (*freeContext)(void*) = nullptr;
    bool loaded = false;
};

const Crypto& Library() {
    static Crypto crypto;
    static std::once_flag once;
    std::call_once(once, [] {
        // By its soname, from the system's library folders, as a linked library would be.
        void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (handle == nullptr) return;
        // Before anything else: no configuration file, whose path a variable could name, is
        // read (it may load modules of its own).
        const auto initialize = reinterpret_cast<int (*)(uint64_t, const void*)>(dlsym(handle, "OPENSSL_init_crypto"));
        const uint64_t kNoLoadConfig = 0x00000080L;  // OPENSSL_INIT_NO_LOAD_CONFIG
        if (initialize == nullptr || initialize(kNoLoadConfig, nullptr) != 1) return;
        Crypto found;
        found.newContext = reinterpret_cast<void* (*)()>(dlsym(handle, "EVP_MD_CTX_new"));
        found.sha256 = reinterpret_cast<const void* (*)()>(dlsym(handle, "EVP_sha256"));
        found.init = reinterpret_cast<int (*)(void*, const void*, void*)>(dlsym(handle, "EVP_DigestInit_ex"));
        found.update = reinterpret_cast<int (*)(void*, const void*, size_t)>(dlsym(handle, "EVP_DigestUpdate"));
        found.final = reinterpret_cast<int (*)(void*, unsigned char*, unsigned int*)>(dlsym(handle, "EVP_DigestFinal_ex"));
        found.freeContext = reinterpret_cast<void (*)(void*)>(dlsym(handle, "EVP_MD_CTX_free"));
        found.loaded = found.newContext && found.sha256 && found.init && found.update && found.final && found.freeContext;
        if (found.loaded) crypto = found;
    });
    return crypto;
}

const char kDigits[] = "0123456789abcdef";

}  // namespace

static_assert(sizeof(crypto_hash_sha256_state) <= 128, "libsodium's state fits");

Sha256::Sha256() : mContext(nullptr), mState() {
    const Crypto& crypto = Library();
    if (crypto.loaded) {
        mContext = crypto.newContext();
        if (mContext != nullptr && crypto.init(mContext, crypto.sha256(), nullptr) != 1) {
            crypto.freeContext(mContext);
            mContext = nullptr;
        }
    }
    if (mContext == nullptr) crypto_hash_sha256_init(reinterpret_cast<crypto_hash_sha256_state*>(mState));
}

Sha256::~Sha256() {
    if (mContext != nullptr) Library().freeContext(mContext);
}

void Sha256::Update(const void* data, size_t size) {
    if (mContext != nullptr) {
        Library().update(mContext, data, size);
    } else {
        crypto_hash_sha256_update(reinterpret_cast<crypto_hash_sha256_state*>(mState),
                                  static_cast<const unsigned char*>(data), size);
    }
}

std::string Sha256::HexDigest() {
    unsigned char digest[32];
    unsigned int length = sizeof(digest);
    if (mContext != nullptr) {
        Library().final(mContext, digest, &length);
    } else {
        crypto_hash_sha256_final(reinterpret_cast<crypto_hash_sha256_state*>(mState), digest);
    }
    std::string text;
    for (unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}
