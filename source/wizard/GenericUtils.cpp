#include "GenericUtils.h"

#include <gtk/gtk.h>

#include <map>

#include "LocalizationUtilities.h"
#include "MOQLogger.h"

namespace {

GenericUtils::AlertHandler& TestHandler() {
    static GenericUtils::AlertHandler handler;
    return handler;
}

enum { kDefaultResponse = 1, kAlternateResponse = 0 };

std::map<std::string, std::string>& Localized() {
    static std::map<std::string, std::string> strings;
    return strings;
}

GtkWindow*& Parent() {
    static GtkWindow* parent = nullptr;
    return parent;
}

// Modal and transient for the wizard, titled as the wizard is (or with the message's title).
GtkWidget* NewDialog(const std::string& title) {
    GtkWindow* parent = Parent();
    GtkWidget* dialog = gtk_message_dialog_new(parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", title.c_str());
    const gchar* parentTitle = parent != nullptr ? gtk_window_get_title(parent) : nullptr;
    const gchar* program = g_get_prgname();
    const std::string windowTitle = parentTitle != nullptr && parentTitle[0] != '\0' ? parentTitle
                                    : !title.empty()                                ? title
                                                                                    : (program != nullptr ? program : "Update");
    gtk_window_set_title(GTK_WINDOW(dialog), windowTitle.c_str());
    if (parent == nullptr) gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    return dialog;
}

// The message can be selected and copied (a command to type, an error to pass on); the
// default button keeps the focus, so the text is not shown all selected.
void MakeMessageSelectable(GtkWidget* dialog) {
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    for (GList* child = children; child != nullptr; child = child->next) {
        if (GTK_IS_LABEL(child->data)) gtk_label_set_selectable(GTK_LABEL(child->data), TRUE);
    }
    g_list_free(children);
    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), kDefaultResponse);
    if (button != nullptr) gtk_widget_grab_focus(button);
}

}  // namespace

namespace GenericUtils {

void SetAlertHandlerForTesting(AlertHandler handler) { TestHandler() = handler; }

bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton) {
    return DisplayAlert(message, defaultButton, alternateButton, "");
}

void SetNativeStrings(const std::map<std::string, std::string>& strings) { Localized() = strings; }

void SetDialogParent(GtkWindow* parent) { Parent() = parent; }

GtkWindow* DialogParent() { return Parent(); }

std::string NativeString(const std::string& key) {
    auto localized = Localized().find(key);
    if (localized != Localized().end() && !localized->second.empty()) return localized->second;
    // Without a strings file the dialogs still speak.
    static const std::map<std::string, std::string> texts = {
        {"ConfirmationTitle", "Do you want to stop the update?"},
        {"CancelButtonLabel", "Continue"},
        {"locStartupErrorTitle", "Startup error"},
        {"locMissingResources", "Required resources are missing."},
        {"locMissingSupportFiles", "Required support files are missing."},
        {"locQuit", "Quit"},
        {"WaitAndQuitLabel", "Stop"},
        {"WaitAndQuitMessage", "The update being installed now will finish either way. Stop: no further update starts. "
                               "Continue: the remaining updates are installed."},
    };
    auto found = texts.find(key);
    return found != texts.end() ? found->second : std::string();
}

bool IsRightToLeft(const std::string& uiLanguage) {
    return uiLanguage.compare(0, 2, "ar") == 0 || uiLanguage.compare(0, 2, "he") == 0;
}

void SetDirectionForLanguage(const std::string& uiLanguage) {
    gtk_widget_set_default_direction(IsRightToLeft(uiLanguage) ? GTK_TEXT_DIR_RTL : GTK_TEXT_DIR_LTR);
}

std::string PrepareNativeTexts(InstallerEngine& engine, std::map<std::string, std::string>& strings) {
    LocalizationUtilities::GetDictionaryForLanguage(&engine, strings);
    std::string locale;
    LocalizationUtilities::GetUserInterfaceLanguage(locale);
    const std::string language = LocalizationUtilities::GetUILanguageForLanguage(locale);
    SetDirectionForLanguage(language);
    return language;
}

bool AskToStop(const std::string& question, const std::string& message, const std::string& continueButton,
               const std::string& stopButton) {
    // The test handler answers as the alert's does: true for the alternate button (stop).
    if (TestHandler()) return TestHandler()(message, continueButton, stopButton);
    if (!gtk_init_check(nullptr, nullptr)) {
        MOQ_LOG("No display to ask \"%s\"; the installation continues\n", question.c_str());
        return false;
    }
    GtkWidget* dialog = NewDialog(question);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), stopButton.empty() ? "Stop" : stopButton.c_str(), kAlternateResponse);
    GtkWidget* keep = gtk_dialog_add_button(GTK_DIALOG(dialog), continueButton.empty() ? "Continue" : continueButton.c_str(),
                                            kDefaultResponse);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kDefaultResponse);
    gtk_widget_grab_focus(keep);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    MOQ_LOG("The stop question was answered with %s\n", response == kAlternateResponse ? "stop" : "continue");
    return response == kAlternateResponse;
}

void DisplayNotice(const std::string& title, const std::string& message, const std::string& button) {
    if (TestHandler()) {
        TestHandler()(title + "\n" + message, button, "");
        return;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        MOQ_LOG("No display to show \"%s\": %s\n", title.c_str(), message.c_str());
        return;
    }
    GtkWidget* dialog = NewDialog(title);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.c_str(), kDefaultResponse);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kDefaultResponse);
    MakeMessageSelectable(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton, std::string title) {
    if (TestHandler()) return TestHandler()(message, defaultButton, alternateButton);

    static bool IsGtkInitialized = false;
    if (!IsGtkInitialized) IsGtkInitialized = gtk_init_check(nullptr, nullptr);
    if (!IsGtkInitialized) {
        MOQ_LOG("No display to show the alert \"%s\"; answering with the alternate button \"%s\"\n", message.c_str(),
                alternateButton.c_str());
        return true;
    }
    GtkWidget* dialog = NewDialog(title);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    // A button without a title could not be told apart from the other one.
    gtk_dialog_add_button(GTK_DIALOG(dialog), alternateButton.empty() ? "Cancel" : alternateButton.c_str(),
                          kAlternateResponse);
    gtk_dialog_add_button(GTK_DIALOG(dialog), defaultButton.empty() ? "OK" : defaultButton.c_str(), kDefaultResponse);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kDefaultResponse);
    MakeMessageSelectable(dialog);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration();
    // Closing the window is no request to try again.
    return response != kDefaultResponse;
}

}  // namespace GenericUtils
