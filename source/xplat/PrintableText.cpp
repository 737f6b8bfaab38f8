#include "PrintableText.h"

#include <cstdio>

namespace PrintableText {

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char hex[8];
        switch (c) {
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\\': out += "\\\\"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080 to U+009F: terminals take some of them as commands.
            snprintf(hex, sizeof(hex), "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += hex;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace PrintableText
