// Reports the outcome to the update manager through its results library.
#ifndef ZEP_INSTALLER_RESULTS_WRAPPER_H
#define ZEP_INSTALLER_RESULTS_WRAPPER_H

#include <string>

class ZEPInstallerResultsWrapper {
public:
    enum { kResultSucceeded = 0, kResultRestartNeeded = 1, kResultTryAgain = 2, kResultFailed = 4 };

    // False when the update manager did not start this process.
    static bool clientAppPath(std::string& path);
    static bool runningUnderZEP();
    // A null id is accepted; otherwise it must equal the identity file's "ZEP_APP_ID".
    static bool testZEPID(const std::string* id);
    static bool clientAppPath(const std::string* id, std::string& path);
    static bool runningUnderZEP(const std::string* id);
    static bool cleanup() { return true; }
    static bool cleanup(const std::string* id) { return testZEPID(id) && cleanup(); }
    static bool setInstallerResults(int result, const std::string& message);
    static bool setInstallerResults(int result);
    // Where the results library is looked for: the bundle's framework folder.
    static std::string LibraryPath();
};

#endif
