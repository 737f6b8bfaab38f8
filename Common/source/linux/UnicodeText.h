// UTF-8 text checked, converted and compared through ICU's common library, which the
// XML reader loads in every run anyway: no second Unicode library at the start.
#ifndef UNICODE_TEXT_H
#define UNICODE_TEXT_H

#include <optional>
#include <string>

namespace UnicodeText {

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF) without
// a NUL byte.
bool IsValidUTF8(const std::string& text);

// The UTF-16 code units of valid UTF-8 text; nothing for text that is not.
std::optional<std::u16string> ToUTF16(const std::string& text);

// Whether the two texts are the same once both are case-folded (Unicode's full
// folding, as a case-insensitive file system compares names); false when either
// is not valid UTF-8.
bool EqualIgnoringCase(const std::string& left, const std::string& right);

}  // namespace UnicodeText

#endif
