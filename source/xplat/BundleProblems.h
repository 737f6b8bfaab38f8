// Problems of the patch bundle itself, found without the stores: proxies that
// do not load, codes that setup.xml names and no proxy has, conflicting-process
// patterns that do not compile, conflicting processes that are ignored, sizes that are missing, proxies without their image,
// strings that a language lacks, strings the pages use that a language lacks.
#ifndef BUNDLE_PROBLEMS_H
#define BUNDLE_PROBLEMS_H

#include <string>
#include <vector>

#include "FileSystemPath.h"

class BundleProblems {
public:
    struct Problem {
        std::string kind;
        std::string file;
        int line = 0;  // 0 when no line is to blame
        std::string detail;
    };

    static std::vector<Problem> Find(const FileSystemPath& installerRoot);
    // One proxy file's problems, appended; code is its KavexCode when it loads. True when it has none.
    static bool CheckProxy(const std::string& path, std::vector<Problem>& problems, std::string& code);
};

#endif
