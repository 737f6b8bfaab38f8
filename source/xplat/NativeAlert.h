// The two-button native alert of the portable code. The window system lives in
// the wizard's module, which the program loads only when there is a display: the
// program installs the presenter, and tests their own.
#ifndef NATIVE_ALERT_H
#define NATIVE_ALERT_H

#include <functional>
#include <string>

class InstallerEngine;

namespace NativeAlert {
// True when the alternate button was chosen.
typedef std::function<bool(const std::string& message, const std::string& defaultButton, const std::string& alternateButton)>
    Presenter;
// An empty presenter restores the one without a window system.
void SetPresenter(Presenter presenter);
// With no presenter: as if the alternate button was chosen, and the log says so.
bool Display(const std::string& message, const std::string& defaultButton, const std::string& alternateButton);
bool DisplayWithoutWindow(const std::string& message, const std::string& alternateButton);

// A run that ends before the wizard's first page (a refused bundle, say): the window that
// says why, what to do, and Quit. reasonID names the localized reason; detail is the line
// the program found. With no presenter it is only logged.
typedef std::function<void(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail)>
    RefusalPresenter;
void SetRefusalPresenter(RefusalPresenter presenter);
void ShowRefusal(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail);
}  // namespace NativeAlert

#endif
