#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "GenericUtils.h"
#include "StartupRefusal.h"
#include "TestSandbox.h"
#include "VirtualDisplay.h"

namespace {

struct Seen {
    std::string defaultLabel, alternateLabel, message;
    int answer;
};

// Plays the user: reads the dialog's buttons and text, then presses one of them.
gboolean Answer(gpointer data) {
    Seen& seen = *static_cast<Seen*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        if (!GTK_IS_MESSAGE_DIALOG(item->data)) continue;
        GtkDialog* dialog = GTK_DIALOG(item->data);
        if (GtkWidget* button = gtk_dialog_get_widget_for_response(dialog, 1)) seen.defaultLabel = gtk_button_get_label(GTK_BUTTON(button));
        if (GtkWidget* button = gtk_dialog_get_widget_for_response(dialog, 0)) seen.alternateLabel = gtk_button_get_label(GTK_BUTTON(button));
        gchar* text = nullptr;
        g_object_get(item->data, "secondary-text", &text, nullptr);
        seen.message = text ? text : "";
        g_free(text);
        gtk_dialog_response(dialog, seen.answer);
    }
    g_list_free(windows);
    return G_SOURCE_REMOVE;
}

TEST(NativeAlert, ShowsTheMessageAndTellsWhichButtonWasChosen) {
    VirtualDisplay display;
    if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the alert on";
    Seen retry{"", "", "", 1};
    g_timeout_add(300, Answer, &retry);
    EXPECT_FALSE(GenericUtils::DisplayAlert("Quit Photo Studio to continue.", "Retry", "Quit"));
    EXPECT_EQ("Retry", retry.defaultLabel);
    EXPECT_EQ("Quit", retry.alternateLabel);
    EXPECT_EQ("Quit Photo Studio to continue.", retry.message);

    Seen quit{"", "", "", 0};
    g_timeout_add(300, Answer, &quit);
    EXPECT_TRUE(GenericUtils::DisplayAlert("again", "", ""));
    EXPECT_EQ("OK", quit.defaultLabel);  // untitled buttons still read as two choices
    EXPECT_EQ("Cancel", quit.alternateLabel);

    Seen closed{"", "", "", GTK_RESPONSE_DELETE_EVENT};
    g_timeout_add(300, Answer, &closed);
    EXPECT_TRUE(GenericUtils::DisplayAlert("closed by the window manager", "Retry", "Quit"));
}

// The stop question's safe answer is to go on: only its stop button stops.
TEST(NativeAlert, TheStopQuestionStopsOnlyWhenStopIsChosen) {
    VirtualDisplay display;
    if (!display.Running()) GTEST_SKIP() << "no Xvfb to show the alert on";
    Seen closed{"", "", "", GTK_RESPONSE_DELETE_EVENT};  // Escape, or the close box
    g_timeout_add(300, Answer, &closed);
    EXPECT_FALSE(GenericUtils::AskToStop("Do you want to stop the update?", "The running update finishes.", "Continue", "Stop"));
    EXPECT_EQ("Continue", closed.defaultLabel);
    EXPECT_EQ("Stop", closed.alternateLabel);
    EXPECT_EQ("The running update finishes.", closed.message);

    Seen kept{"", "", "", 1};
    g_timeout_add(300, Answer, &kept);
    EXPECT_FALSE(GenericUtils::AskToStop("Do you want to stop the update?", "", "Continue", "Stop"));

    Seen stopped{"", "", "", 0};
    g_timeout_add(300, Answer, &stopped);
    EXPECT_TRUE(GenericUtils::AskToStop("Do you want to stop the update?", "", "Continue", "Stop"));
}

// A refusal names its rule's own text when the table has one, else the refused bundle's;
// the log's path and the code read left to right inside a right-to-left sentence.
TEST(NativeAlert, ARefusalSaysWhyWhatToDoAndItsCode) {
    const std::map<std::string, std::string> strings = {
        {"locBundleSignatureInvalid", "Not as signed."}, {"locRuleTampered", "A file was changed."},
        {"locStartupAdvice", "Start again; the log: [logPath]"}, {"locErrorCode", "Code [code]"}};
    EXPECT_EQ("A file was changed.\n\nStart again; the log: /tmp/moq.log\n\nCode 35\nsetup.xml differs",
              StartupRefusal::Message(strings, false, 35, "locRuleTampered", "setup.xml differs"));
    EXPECT_EQ("Not as signed.\n\nStart again; the log: \u2066/tmp/moq.log\u2069\n\nCode \u206635\u2069",
              StartupRefusal::Message(strings, true, 35, "locRuleUnknown", ""));
    // Another code has no bundle to blame.
    EXPECT_EQ(0u, StartupRefusal::Message(strings, false, 31, "", "").find("Startup error\n\n"));
}

}  // namespace
