// Runs the HTML wizard: relaunches with administrator rights, then shows the window.
#ifndef UI_DRIVER_FULL_GUI_H
#define UI_DRIVER_FULL_GUI_H

#include <memory>

#include "UIDriver.h"

class AuthExec;

class UIDriverFullGUI : public UIDriver {
public:
    struct UIDriverFullGUIData {
        ~UIDriverFullGUIData();
        static InstallerEngine* sInstallerEngine;
        static AuthExec* sAuthExec;  // stays empty: a launch without root rights ends with 69
    };

    explicit UIDriverFullGUI(InstallerEngine& engine);
    ~UIDriverFullGUI() override;
    bool HasSufficientCredentials() override { return true; }
    bool Run() override;
    bool Alert(const std::string&, const std::string&, const std::string&) override { return false; }

private:
    std::unique_ptr<UIDriverFullGUIData> mData;
};

#endif
