#include "JSPageProtocol.h"

#include "JSMethodPublisherInterface.h"
#include "UTF8Text.h"

namespace JSPageProtocol {

const char* const kSeparator = "<===>";

std::vector<std::string> SplitMessage(const std::string& message) {
    std::vector<std::string> pieces;
    const std::string separator(kSeparator);
    size_t start = 0;
    for (;;) {
        const size_t at = message.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(message.substr(start));
            return pieces;
        }
        pieces.push_back(message.substr(start, at - start));
        start = at + separator.size();
    }
}

bool IsDARKCall(const std::string& message) { return SplitMessage(message).front() == "DARK"; }

bool Dispatch(JSMethodPublisherInterface& publishers, const std::string& message, std::string& result) {
    const std::vector<std::string> pieces = SplitMessage(message);
    if (pieces.size() < 2 || pieces[0] != "DARK") return false;
    for (const std::string& piece : pieces) {
        if (!UTF8Text::IsValid(piece)) return false;
    }
    const std::vector<std::string> args(pieces.begin() + 2, pieces.end());
    std::string answer;
    if (!publishers.InvokeMethodByName(pieces[1], args, answer)) return false;
    if (!UTF8Text::IsValid(answer)) return false;
    result = answer;
    return true;
}

std::string EscapeForScriptLiteral(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\'') out += "\\'";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string ResultAssignmentScript(bool hasResult, const std::string& result) {
    return hasResult ? "DARK.result = '" + EscapeForScriptLiteral(result) + "';" : "DARK.result = null;";
}

std::vector<std::string> BridgeInstallScripts(JSMethodPublisherInterface& publishers) {
    std::vector<std::string> scripts;
    for (const auto& method : publishers.GetAllMethods()) scripts.push_back("DARKCreateContainerMethod('" + method.first + "');");
    scripts.push_back("DARKCallOnLoadHandler();");
    return scripts;
}

}  // namespace JSPageProtocol
