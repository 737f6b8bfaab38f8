// The folder of the public keys a root process trusts: honoured only when root alone
// can change it and its keys, and nobody but root (and root's group) the folders above
// it (a sticky folder of root's on the way, as /tmp, is fine: nobody else can rename
// what is in it).
#ifndef TRUSTED_KEY_FOLDER_H
#define TRUSTED_KEY_FOLDER_H

#include <string>
#include <utility>
#include <vector>

class TrustedKeyFolder {
public:
    enum Outcome {
        kAbsent,    // no such folder: nothing is trusted
        kRead,      // files holds each "*.pub" (name, contents), sorted by name
        kUntrusted  // why says what others could change
    };
    static const size_t kMaxKeyBytes = 4096;
    static const size_t kMaxKeys = 256;

    static Outcome Read(const std::string& folder, std::vector<std::pair<std::string, std::string> >& files,
                        std::string& why);
};

#endif
