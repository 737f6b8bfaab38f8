// The languages the session's user chose, as this platform records them.
#ifndef PREFERRED_LANGUAGE_H
#define PREFERRED_LANGUAGE_H

#include <string>
#include <vector>

namespace PreferredLanguage {
// In order of preference: each entry of LANGUAGE (a colon list), then the first of
// LC_ALL, LC_MESSAGES, LANG that is set; encoding and modifier removed
// ("fr_FR.UTF-8@euro" gives "fr_FR"), empty entries left out. The values are only
// ever compared with language codes, never used as names of files.
std::vector<std::string> Entries();
// The first of them; empty when none is set.
std::string First();
}  // namespace PreferredLanguage

#endif
