// The page's side of a call: "DARK<===>method<===>arg..." in, a script to run out.
#ifndef JS_PAGE_PROTOCOL_H
#define JS_PAGE_PROTOCOL_H

#include <string>
#include <vector>

class JSMethodPublisherInterface;

namespace JSPageProtocol {

extern const char* const kSeparator;  // "<===>"

std::vector<std::string> SplitMessage(const std::string& message);
// True when the message is a call ("DARK" as its first piece), not an ordinary alert.
bool IsDARKCall(const std::string& message);
// Calls the named method; false when the call yields no result (unknown method,
// no name, or text that is not UTF-8 on the way in or out).
bool Dispatch(JSMethodPublisherInterface& publishers, const std::string& message, std::string& result);
// Escapes for a single-quoted script literal: backslash, apostrophe, line feed.
std::string EscapeForScriptLiteral(const std::string& text);
// The script that hands the call's outcome to the page.
std::string ResultAssignmentScript(bool hasResult, const std::string& result);
// The scripts that install the bridge after a page load, in order.
std::vector<std::string> BridgeInstallScripts(JSMethodPublisherInterface& publishers);

}  // namespace JSPageProtocol

#endif
