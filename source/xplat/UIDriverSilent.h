// Installs every available update without a window; what the update manager starts.
#ifndef UI_DRIVER_SILENT_H
#define UI_DRIVER_SILENT_H

#include "UIDriver.h"

class UIDriverSilent : public UIDriver {
public:
    explicit UIDriverSilent(InstallerEngine& engine) : UIDriver(engine) {}
    bool HasSufficientCredentials() override;
    bool Run() override;
};

#endif
