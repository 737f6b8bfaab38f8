// A native modal alert.
#ifndef GENERIC_UTILS_H
#define GENERIC_UTILS_H

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <string>

class InstallerEngine;

namespace GenericUtils {
// True when the alternate button was chosen; without a display, as if it was.
bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton);
// The same with a title line above the message.
bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton, std::string title);
// The stop question: true only when the stop button was chosen. Continue, Escape and
// closing the dialog all continue, and a dialog that cannot be shown continues too.
bool AskToStop(const std::string& question, const std::string& message, const std::string& continueButton,
               const std::string& stopButton);
// A one-button notice: a title, the message below it, and the button.
void DisplayNotice(const std::string& title, const std::string& message, const std::string& button);
// The program's own texts for its native windows, in the language of the strings given last.
std::string NativeString(const std::string& key);
void SetNativeStrings(const std::map<std::string, std::string>& strings);
// The window that every dialog is modal and transient for (null: none); its title is theirs.
void SetDialogParent(GtkWindow* parent);
// Dialogs read right to left for the languages written that way (ar_AE, he_IL).
void SetDirectionForLanguage(const std::string& uiLanguage);
bool IsRightToLeft(const std::string& uiLanguage);
// A native window's texts in the user's language, with the dialogs' direction set for it;
// returns that language.
std::string PrepareNativeTexts(InstallerEngine& engine, std::map<std::string, std::string>& strings);
GtkWindow* DialogParent();

// Lets tests answer alerts (a notice arrives with its title, a line break and its
// message, its button as the default and no alternate); an empty function restores the real dialog.
typedef std::function<bool(const std::string&, const std::string&, const std::string&)> AlertHandler;
void SetAlertHandlerForTesting(AlertHandler handler);
}  // namespace GenericUtils

#endif
