// A native modal alert.
#ifndef GENERIC_UTILS_H
#define GENERIC_UTILS_H

#include <functional>
#include <string>

namespace GenericUtils {
// True when the alternate button was chosen; without a display, as if it was.
bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton);

// Lets tests answer alerts; an empty function restores the real dialog.
typedef std::function<bool(const std::string&, const std::string&, const std::string&)> AlertHandler;
void SetAlertHandlerForTesting(AlertHandler handler);
}  // namespace GenericUtils

#endif
