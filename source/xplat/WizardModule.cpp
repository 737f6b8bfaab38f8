#include "WizardModule.h"

#include <stdlib.h>

#include <iostream>

#include "BundlePlugIn.h"
#include "MOQLogger.h"
#include "NativeAlert.h"
#include "UIDriverFactory.h"

namespace WizardModule {

const char* const kName = "UpdateWizard";
const char* const kCreateDriverSymbol = "UpdateWizardCreateDriver";
const char* const kDisplayAlertSymbol = "UpdateWizardDisplayAlert";
const char* const kShowRefusalSymbol = "UpdateWizardShowRefusal";

namespace {

void* EntryPoint(const char* symbol) {
    std::string error;
    void* address = BundlePlugIn::Symbol(kName, symbol, error);
    if (address == nullptr) {
        const std::string line = "The wizard cannot be shown: its module " + BundlePlugIn::PathFor(kName) +
                                 " cannot be loaded (" + error + ")";
        std::cerr << line << std::endl;
        MOQ_LOG("%s\n", line.c_str());
    }
    return address;
}

bool HaveDisplay() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

std::unique_ptr<UIDriver> CreateDriver(InstallerEngine& engine) {
    auto create = reinterpret_cast<CreateDriverFunction>(EntryPoint(kCreateDriverSymbol));
    return std::unique_ptr<UIDriver>(create != nullptr ? create(&engine) : nullptr);
}

bool DisplayAlert(const std::string& message, const std::string& defaultButton, const std::string& alternateButton) {
    if (!HaveDisplay()) return NativeAlert::DisplayWithoutWindow(message, alternateButton);
    auto display = reinterpret_cast<DisplayAlertFunction>(EntryPoint(kDisplayAlertSymbol));
    if (display == nullptr) return NativeAlert::DisplayWithoutWindow(message, alternateButton);
    return display(message.c_str(), defaultButton.c_str(), alternateButton.c_str()) != 0;
}

void ShowRefusal(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail) {
    auto show = HaveDisplay() ? reinterpret_cast<ShowRefusalFunction>(EntryPoint(kShowRefusalSymbol)) : nullptr;
    if (show == nullptr) {
        MOQ_LOG("No display to say why the run ends with %d: %s\n", code, detail.c_str());
        return;
    }
    show(&engine, code, reasonID.c_str(), detail.c_str());
}

void Register() {
    UIDriverFactory::Register(InstallerEngine::kModeFullGUI, CreateDriver);
    NativeAlert::SetPresenter(DisplayAlert);
    NativeAlert::SetRefusalPresenter(ShowRefusal);
}

}  // namespace WizardModule
