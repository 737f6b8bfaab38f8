// The language the session's user chose, as this platform records it.
#ifndef PREFERRED_LANGUAGE_H
#define PREFERRED_LANGUAGE_H

#include <string>

namespace PreferredLanguage {
// The first entry of LANGUAGE, else LC_ALL, LC_MESSAGES, LANG, without encoding and
// modifier ("fr_FR.UTF-8@euro" gives "fr_FR"); empty when none is set. Root started
// through pkexec or sudo keeps the caller's language variables.
std::string First();
}  // namespace PreferredLanguage

#endif
