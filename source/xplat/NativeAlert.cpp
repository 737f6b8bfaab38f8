#include "NativeAlert.h"

#include "MOQLogger.h"

namespace {
NativeAlert::Presenter& CurrentPresenter() {
    static NativeAlert::Presenter presenter;
    return presenter;
}
}  // namespace

namespace NativeAlert {

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
