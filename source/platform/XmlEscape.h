// Text put into an XML document this system writes: the characters markup gives a meaning
// to become references, so a name cannot end an element or an attribute.
#ifndef XML_ESCAPE_H
#define XML_ESCAPE_H

#include <string>

inline std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

#endif
