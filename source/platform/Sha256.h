// SHA-256 of a stream of bytes. The distribution's OpenSSL computes it with the processor's
// SHA instructions, several times faster than libsodium's portable code, and a signed
// bundle is hashed whole on every run; it is loaded on the first hash, so that a run that
// hashes nothing never loads it. Where it cannot be loaded, libsodium does the work.
#ifndef SHA256_H
#define SHA256_H

#include <cstddef>
#include <string>

class Sha256 {
public:
    Sha256();
    ~Sha256();
    void Update(const void* data, size_t size);
    // Lowercase hexadecimal; the object is spent afterwards.
    std::string HexDigest();

private:
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void* mContext;                       // OpenSSL's, when it was loaded
    alignas(16) unsigned char mState[128];  // libsodium's otherwise
};

#endif
