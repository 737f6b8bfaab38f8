#include "NativeAlert.h"

#include "MOQLogger.h"

namespace {
NativeAlert::Presenter& CurrentPresenter() {
    static NativeAlert::Presenter presenter;
    return presenter;
}
NativeAlert::RefusalPresenter& CurrentRefusalPresenter() {
    static NativeAlert::RefusalPresenter presenter;
    return presenter;
}
}  // namespace

namespace NativeAlert {

void SetRefusalPresenter(RefusalPresenter presenter) { CurrentRefusalPresenter() = presenter; }

void ShowRefusal(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail) {
    if (CurrentRefusalPresenter()) {
        CurrentRefusalPresenter()(engine, code, reasonID, detail);
        return;
    }
    MOQ_LOG("No window to say why the run ends with %d: %s\n", code, detail.c_str());
}

void SetPresenter(Presenter presenter) { CurrentPresenter() = presenter; }

bool DisplayWithoutWindow(const std::string& message, const std::string& alternateButton) {
    MOQ_LOG("No display to show the alert \"%s\"; answering with the alternate button \"%s\"\n", message.c_str(),
            alternateButton.c_str());
    return true;
}

bool Display(const std::string& message, const std::string& defaultButton, const std::string& alternateButton) {
    if (CurrentPresenter()) return CurrentPresenter()(message, defaultButton, alternateButton);
    return DisplayWithoutWindow(message, alternateButton);
}

}  // namespace NativeAlert
