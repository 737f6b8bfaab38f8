// The two-button native alert of the portable code. The window system lives in
// the wizard's module, which the program loads only when there is a display: the
// program installs the presenter, and tests their own.
#ifndef NATIVE_ALERT_H
#define NATIVE_ALERT_H

#include <functional>
#include <string>

namespace NativeAlert {
// True when the alternate button was chosen.
typedef std::function<bool(const std::string& message, const std::string& defaultButton, const std::string& alternateButton)>
    Presenter;
// An empty presenter restores the one without a window system.
void SetPresenter(Presenter presenter);
// With no presenter: as if the alternate button was chosen, and the log says so.
bool Display(const std::string& message, const std::string& defaultButton, const std::string& alternateButton);
bool DisplayWithoutWindow(const std::string& message, const std::string& alternateButton);
}  // namespace NativeAlert

#endif
