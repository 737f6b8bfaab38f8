#include "UnicodeText.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <climits>

namespace UnicodeText {

namespace {

// ICU's way: ask for the length, then fill a buffer of it. Filled exactly, the result has
// no room for a terminator: that warning is success.
template <typename Write>
std::optional<std::u16string> TwoPass(Write write) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = write(nullptr, 0, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
    std::u16string units(static_cast<size_t>(needed), u'\0');
    status = U_ZERO_ERROR;
    write(units.empty() ? nullptr : &units[0], needed, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return units;
}

std::optional<std::u16string> Converted(const std::string& text) {
    if (text.size() > static_cast<size_t>(INT32_MAX) || text.find('\0') != std::string::npos) return std::nullopt;
    const int32_t length = static_cast<int32_t>(text.size());
    return TwoPass([&](UChar* out, int32_t capacity, UErrorCode* status) {
        int32_t written = 0;
        u_strFromUTF8(out, capacity, &written, text.data(), length, status);
        return written;
    });
}

std::optional<std::u16string> Folded(const std::u16string& units) {
    const int32_t length = static_cast<int32_t>(units.size());
    return TwoPass([&](UChar* out, int32_t capacity, UErrorCode* status) {
        return u_strFoldCase(out, capacity, units.data(), length, U_FOLD_CASE_DEFAULT, status);
    });
}

}  // namespace

bool IsValidUTF8(const std::string& text) { return Converted(text).has_value(); }

std::optional<std::u16string> ToUTF16(const std::string& text) { return Converted(text); }

bool EqualIgnoringCase(const std::string& left, const std::string& right) {
    const std::optional<std::u16string> a = Converted(left), b = Converted(right);
    if (!a || !b) return false;
    const std::optional<std::u16string> foldedA = Folded(*a), foldedB = Folded(*b);
    return foldedA && foldedB && *foldedA == *foldedB;
}

}  // namespace UnicodeText
