// The wizard lives in a module of the bundle (Contents/PlugIns/UpdateWizard.so)
// with the window system it needs; the program loads it only to show a window,
// so that a silent run never loads GTK or WebKit.
#ifndef WIZARD_MODULE_H
#define WIZARD_MODULE_H

#include <memory>
#include <string>

#include "InstallerEngine.h"
#include "UIDriver.h"

namespace WizardModule {

extern const char* const kName;
// The module's entry points, with C linkage.
extern const char* const kCreateDriverSymbol;
extern const char* const kDisplayAlertSymbol;
extern const char* const kShowRefusalSymbol;
typedef UIDriver* (*CreateDriverFunction)(InstallerEngine* engine);
// Nonzero when the alternate button was chosen.
typedef int (*DisplayAlertFunction)(const char* message, const char* defaultButton, const char* alternateButton);
// The window for a run that ends before the first page (see StartupRefusal.h in the module).
typedef void (*ShowRefusalFunction)(InstallerEngine* engine, int code, const char* reasonID, const char* detail);

// The full-GUI driver; null, with a line on stderr and in the log, when the module cannot be loaded.
std::unique_ptr<UIDriver> CreateDriver(InstallerEngine& engine);
// Through the module when there is a display to show it on; otherwise as without a window.
bool DisplayAlert(const std::string& message, const std::string& defaultButton, const std::string& alternateButton);
// Through the module when there is a display; otherwise only logged.
void ShowRefusal(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail);
// Makes all three the program's: the full-GUI mode's driver, the native alert and the refusal window.
void Register();

}  // namespace WizardModule

#endif
