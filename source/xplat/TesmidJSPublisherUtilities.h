// Result codes of published methods and the error object the page tests.
#ifndef TESMID_JS_PUBLISHER_UTILITIES_H
#define TESMID_JS_PUBLISHER_UTILITIES_H

#include <map>
#include <string>

namespace TesmidJSPublisherUtilities {

enum JSResult {
    kJSResultOK = 0,
    kJSResultBadArgCount = 1,
    kJSResultBadArg = 2,
    kJSResultFileNotFound = 4,
    kJSResultFailed = 9999
};

extern const char* const kErrorPropertyName;  // "_error"

std::string MakeJSONErrorObj(JSResult code, const std::map<std::string, std::string>& extra);

}  // namespace TesmidJSPublisherUtilities

#endif
