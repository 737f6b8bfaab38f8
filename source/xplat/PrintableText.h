// Text from bundles, stores and process names made safe for one line of a terminal or a
// line-oriented reader: control characters (C0, DEL and C1) and the backslash are escaped,
// so that a name can neither start a line of its own nor steer the terminal.
#ifndef PRINTABLE_TEXT_H
#define PRINTABLE_TEXT_H

#include <string>

namespace PrintableText {
std::string Escape(const std::string& text);
}

#endif
