// The one engine of a session: command line, UI mode, caller and result.
#ifndef INSTALLER_ENGINE_H
#define INSTALLER_ENGINE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FileSystemPath.h"

class PayloadsManager;

class InstallerEngine {
public:
    enum UIMode : int32_t { kModeFullGUI = 0, kModeTerminal = 1, kModeSilent = 2, kModeCheck = 3 };
    enum CallerKind : int32_t { kCallerUpdateManager = 1, kCallerOther = 2 };

    explicit InstallerEngine(const std::string& bundleFolder);
    ~InstallerEngine();

    unsigned Main(const std::vector<std::string>& args);
    bool ProcessArgumentVector(const std::vector<std::string>& args);
    bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton);

    PayloadsManager* InitializePayloadsManager();
    PayloadsManager* GetPayloadsManager();
    // Verifies the bundle against the machine's trusted keys (the wizard that is about to
    // relaunch itself with rights leaves it to its relaunched copy); false when it must not run.
    bool BundleAccepted();
    void FinishEarlierLaunches();
    // The localized message for the manager's error code; empty without a manager or strings.
    std::string LocalizedErrorText();

    PayloadsManager* mPayloadsManager;
    FileSystemPath mBundleFolder;
    std::vector<std::string> mArguments;
    std::map<std::string, std::string> mArgumentMap;
    UIMode mUIMode;
    CallerKind mCaller;
    uint32_t mExitCode;
    unsigned mSetupTimeoutSeconds = 0;  // --setupTimeout: how long one setup may run; 0: no limit

private:
    InstallerEngine(const InstallerEngine&) = delete;
    InstallerEngine& operator=(const InstallerEngine&) = delete;
};

#endif
