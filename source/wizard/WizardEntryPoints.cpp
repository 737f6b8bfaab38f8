// What the program finds in this module by name (see WizardModule.h).
#include <type_traits>

#include "GenericUtils.h"
#include "StartupRefusal.h"
#include "UIDriverFullGUI.h"
#include "WizardModule.h"

extern "C" {

__attribute__((visibility("default"))) UIDriver* UpdateWizardCreateDriver(InstallerEngine* engine) {
    return engine != nullptr ? new UIDriverFullGUI(*engine) : nullptr;
}

__attribute__((visibility("default"))) int UpdateWizardDisplayAlert(const char* message, const char* defaultButton,
                                                                     const char* alternateButton) {
    return GenericUtils::DisplayAlert(message != nullptr ? message : "", defaultButton != nullptr ? defaultButton : "",
                                      alternateButton != nullptr ? alternateButton : "")
               ? 1
               : 0;
}

__attribute__((visibility("default"))) void UpdateWizardShowRefusal(InstallerEngine* engine, int code, const char* reasonID,
                                                                     const char* detail) {
    if (engine != nullptr) StartupRefusal::Show(*engine, code, reasonID != nullptr ? reasonID : "", detail != nullptr ? detail : "");
}

}  // extern "C"

// The signatures above must stay those the program calls through.
static_assert(std::is_same<decltype(&UpdateWizardCreateDriver), WizardModule::CreateDriverFunction>::value, "entry point");
static_assert(std::is_same<decltype(&UpdateWizardDisplayAlert), WizardModule::DisplayAlertFunction>::value, "entry point");
static_assert(std::is_same<decltype(&UpdateWizardShowRefusal), WizardModule::ShowRefusalFunction>::value, "entry point");
