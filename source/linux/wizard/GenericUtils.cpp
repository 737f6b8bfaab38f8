#include "GenericUtils.h"

#include <gtk/gtk.h>

#include <map>

#include "MOQLogger.h"

namespace {

GenericUtils::AlertHandler& TestHandler() {
    static GenericUtils::AlertHandler handler;
    return handler;
}

enum { kDefaultResponse = 1, kAlternateResponse = 0 };

}  // namespace

namespace GenericUtils {

void SetAlertHandlerForTesting(AlertHandler handler) { TestHandler() = handler; }

bool DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton) {
    return DisplayAlert(message, defaultButton, alternateButton, "");
}

std::string NativeString(const std::string& key) {
    static const std::map<std::string, std::string> texts = {
        {"ConfirmationTitle", "Do you want to stop the update?"},
        {"CancelButtonLabel", "Continue"},
        {"WaitAndQuitLabel", "Stop"},
        {"WaitAndQuitMessage", "The update in progress will be completed; no further update will be installed."},
    };
    auto found = texts.find(key);
    return found != texts.end() ? found->second : std::string();
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
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.c_str(), kDefaultResponse);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
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
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    // A button without a title could not be told apart from the other one.
    gtk_dialog_add_button(GTK_DIALOG(dialog), alternateButton.empty() ? "Cancel" : alternateButton.c_str(),
                          kAlternateResponse);
    gtk_dialog_add_button(GTK_DIALOG(dialog), defaultButton.empty() ? "OK" : defaultButton.c_str(), kDefaultResponse);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kDefaultResponse);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration();
    // Closing the window is no request to try again.
    return response != kDefaultResponse;
}

}  // namespace GenericUtils
