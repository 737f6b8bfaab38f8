// UTF-8 validity, as the platform strings of the page require.
#ifndef UTF8_TEXT_H
#define UTF8_TEXT_H

#include <string>

namespace UTF8Text {
// Well-formed UTF-8 without overlong forms, surrogates or code points above U+10FFFF.
bool IsValid(const std::string& text);
}

#endif
