#include "PreferredLanguage.h"

#include <stdlib.h>

namespace PreferredLanguage {

namespace {

std::string Stripped(const std::string& entry) { return entry.substr(0, entry.find_first_of(".@")); }

}  // namespace

std::vector<std::string> Entries() {
    std::vector<std::string> entries;
    if (const char* language = getenv("LANGUAGE")) {
        const std::string list = language;
        for (size_t start = 0; start <= list.size();) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            const std::string entry = Stripped(list.substr(start, end - start));
            if (!entry.empty()) entries.push_back(entry);
            start = end + 1;
        }
    }
    // The locale: the first of these that is set decides, as for every program.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        if (value == nullptr || *value == '\0') continue;
        const std::string entry = Stripped(value);
        if (!entry.empty()) entries.push_back(entry);
        break;
    }
    return entries;
}

std::string First() {
    const std::vector<std::string> entries = Entries();
    return entries.empty() ? std::string() : entries.front();
}

}  // namespace PreferredLanguage
