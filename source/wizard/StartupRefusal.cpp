#include "StartupRefusal.h"

#include <gtk/gtk.h>

#include "ErrorCodes.h"
#include "GenericUtils.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"

namespace StartupRefusal {

namespace {

std::string Text(const std::map<std::string, std::string>& strings, const std::string& key, const char* fallback) {
    const auto found = strings.find(key);
    return found != strings.end() && !found->second.empty() ? found->second : std::string(fallback);
}

std::string Replaced(std::string text, const std::string& placeholder, const std::string& value) {
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
    return text;
}

}  // namespace

std::string Message(const std::map<std::string, std::string>& strings, bool rightToLeft, int code, const std::string& reasonID,
                    const std::string& detail) {
    // A path or a code keeps its own direction inside a right-to-left sentence.
    auto ltr = [rightToLeft](const std::string& text) { return rightToLeft ? "\u2066" + text + "\u2069" : text; };
    std::string reason = reasonID.empty() ? std::string() : Text(strings, reasonID, "");
    if (reason.empty() && !reasonID.empty()) reason = GenericUtils::NativeString(reasonID);
    if (reason.empty()) {
        reason = code == ErrorCodes::kBundleSignatureInvalid
                     ? Text(strings, "locBundleSignatureInvalid", "This update was not installed: it is not signed by a "
                                                                  "publisher this computer trusts, or it was changed after it was signed.")
                     : Text(strings, "locStartupErrorTitle", "Startup error");
    }
    std::string message = reason + "\n\n" +
                          Replaced(Text(strings, "locStartupAdvice", "Quit, then start the update again. If it still cannot "
                                                                     "start, get a new copy of the update from its publisher, "
                                                                     "or send the session log to support: [logPath]"),
                                   "[logPath]", ltr(kMOQLogFilePath)) +
                          "\n\n" + Replaced(Text(strings, "locErrorCode", "Error code: [code]"), "[code]", ltr(std::to_string(code)));
    if (!detail.empty()) message += "\n" + ltr(detail);
    return message;
}

void ShowWithStrings(const std::map<std::string, std::string>& strings, bool rightToLeft, int code, const std::string& reasonID,
                     const std::string& detail) {
    const std::string message = Message(strings, rightToLeft, code, reasonID, detail);
    MOQ_LOG("The update cannot start (%d): %s\n", code, detail.empty() ? reasonID.c_str() : detail.c_str());
    GenericUtils::DisplayNotice(Text(strings, "locCannotStartTitle", "The update cannot start"), message,
                                Text(strings, "locQuit", "Quit"));
}

void Show(InstallerEngine& engine, int code, const std::string& reasonID, const std::string& detail) {
    std::map<std::string, std::string> strings;
    const std::string language = GenericUtils::PrepareNativeTexts(engine, strings);
    GenericUtils::SetDialogParent(nullptr);
    ShowWithStrings(strings, GenericUtils::IsRightToLeft(language), code, reasonID, detail);
}

}  // namespace StartupRefusal
