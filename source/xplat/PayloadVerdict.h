// How the classification judged one proxy found in the bundle, and why.
#ifndef PAYLOAD_VERDICT_H
#define PAYLOAD_VERDICT_H

#include <string>

struct PayloadVerdict {
    std::string code;
    std::string productName;
    std::string productVersion;
    std::string parentCode;
    std::string parentName;
    std::string proxyPath;
    int result = 0;           // the classification's code (0, 26, 27 or 29)
    bool classified = false;  // false: no base product named, so never kept
    bool kept = false;        // false also for a second proxy with a code already taken
    std::string reason;       // the store fact that decided, in words

    std::string Name() const;    // the report's verdict
    std::string Words() const;   // the same for a reader
    std::string Reason() const;  // why, never empty
};

#endif
