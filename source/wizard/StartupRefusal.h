// The window for a run that ends before the wizard's first page: why, what to do, and Quit.
#ifndef STARTUP_REFUSAL_H
#define STARTUP_REFUSAL_H

#include <map>
#include <string>

class InstallerEngine;

namespace StartupRefusal {
// Shows the window in the user's language and returns once it is closed; the caller keeps
// code as its exit code. reasonID names the localized reason in main.xml (a bundle rule's
// text, say); when the table has no such text, a refused bundle (35) is described by
// locBundleSignatureInvalid and any other code by locStartupErrorTitle. detail is the
// one-line reason as the program found it (shown left to right, as written); may be empty.
// Without a display the window is only logged.
void Show(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail);
// The same with the strings already at hand.
void ShowWithStrings(const std::map<std::string, std::string>& strings, bool rightToLeft, int code,
                     const std::string& reasonID, const std::string& detail);
// The message body the window shows (tests read it).
std::string Message(const std::map<std::string, std::string>& strings, bool rightToLeft, int code, const std::string& reasonID,
                    const std::string& detail);
}  // namespace StartupRefusal

#endif
