// A native modal alert.
#ifndef GENERIC_UTILS_H
#define GENERIC_UTILS_H

#include <functional>
#include <string>

namespace GenericUtils {
// True when the alternate button was chosen; without a display, as if it was.
bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton);
// The same with a title line above the message.
bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton, std::string title);
// A one-button notice: a title, the message below it, and the button.
void DisplayNotice(const std::string& title, const std::string& message, const std::string& button);
// The program's own texts for its native windows.
std::string NativeString(const std::string& key);

// Lets tests answer alerts (a notice arrives with its title, a line break and its
// message, its button as the default and no alternate); an empty function restores the real dialog.
typedef std::function<bool(const std::string&, const std::string&, const std::string&)> AlertHandler;
void SetAlertHandlerForTesting(AlertHandler handler);
}  // namespace GenericUtils

#endif
