// The baseline of FirstPageBench: a bare WebKitGTK window, shown at once, loading the
// wizard's own page with the fewest native answers that fill its first step.
//
//   BareWebWindow <resources folder> <onFrameLoad.js>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "JSONUtilities.h"
#include "JSPageProtocol.h"
#include "XMLParserNative.h"

namespace {

std::map<std::string, std::string> gStrings;
std::string gSupport;

std::string ObjectOf(const std::map<std::string, std::string>& properties) {
    JSONUtilities::JSONObject object;
    object.AddPropertyMap(properties);
    return object.ToString();
}

std::string Answer(GtkWindow* window, const std::vector<std::string>& call) {
    const std::string& name = call.size() > 1 ? call[1] : std::string();
    if (name == "GetDefaultProperties") return ObjectOf({{"defaultLanguage", "en_US"}, {"productName", "Photo Studio Update"}});
    if (name == "GetStringsForLanguage") return ObjectOf(gStrings);
    if (name == "UIGetUpdatesStatusMap") return ObjectOf({{"{D0C0FFEE-0000-4000-8000-000000000501}", "Photo Studio Update 5.0.1"}});
    if (name == "UIGetUpdateSizes") return ObjectOf({{"{D0C0FFEE-0000-4000-8000-000000000501}", "629145600"}});
    if (name == "UISetWindowTitle" && call.size() > 2) gtk_window_set_title(window, call[2].c_str());
    if (name.compare(0, 5, "UIGet") == 0 || name == "GetConflictingProcessList") return "{}";
    return "";
}

gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer window) {
    if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_PROMPT) return FALSE;
    const std::string answer = Answer(GTK_WINDOW(window), JSPageProtocol::SplitMessage(webkit_script_dialog_get_message(dialog)));
    webkit_script_dialog_prompt_set_text(dialog, answer.c_str());
    return TRUE;
}

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    std::string script = gSupport;
    // Every native method the page may call: one it lacks stops its script before the page fills.
    for (const char* name : {"GetDefaultProperties", "GetStringsForLanguage", "UISetWindowTitle", "UIResizeWindow", "UIShowWindow",
                             "UIGetUpdatesStatusMap", "UIGetUpdateSizes", "UIGetAlreadyUpdatedStatusMap",
                             "UIGetHigherUpdateDetectedStatusMap", "UIGetParentNotInstalledUpdatesStatusMap",
                             "GetConflictingProcessList", "UIGetBundleSignature", "UIGetErrorText", "UIGetInstallOutcome",
                             "UIGetLockHolder", "UIGetPayloadProgress", "UIGetProgress", "UICancelUpdate", "UICopyText",
                             "UIExitDialog", "UIStartInstall", "UIStartPayloadInitialize"}) {
        script += "\nDARKCreateContainerMethod('" + std::string(name) + "');";
    }
    script += "\nDARKCallOnLoadHandler();";
    webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || !gtk_init_check(&argc, &argv)) return 2;
    const std::string resources = argv[1];
    std::string language = "en_US";
    XMLParserNative(resources + "/main.xml").FetchLanguageStrings(gStrings, language);
    std::ifstream support(argv[2]);
    std::stringstream text;
    text << support.rdbuf();
    gSupport = text.str();

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Bare");
    gtk_window_set_default_size(GTK_WINDOW(window), 640, 480);
    WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    g_signal_connect(view, "script-dialog", G_CALLBACK(OnScriptDialog), window);
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gchar* uri = g_filename_to_uri((resources + "/main.html").c_str(), nullptr, nullptr);
    webkit_web_view_load_uri(view, uri);
    g_free(uri);
    gtk_main();
    return 0;
}
