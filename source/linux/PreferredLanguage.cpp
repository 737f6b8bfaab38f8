#include "PreferredLanguage.h"

#include <stdlib.h>

namespace PreferredLanguage {

std::string First() {
    std::string entry;
    const char* language = getenv("LANGUAGE");
    if (language != nullptr && *language != '\0') {
        entry = language;
        entry = entry.substr(0, entry.find(':'));
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (!entry.empty()) break;
        const char* value = getenv(name);
        if (value != nullptr) entry = value;
    }
    return entry.substr(0, entry.find_first_of(".@"));
}

}  // namespace PreferredLanguage
