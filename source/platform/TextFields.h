// The fields of one line of a file this system writes: every separator splits, so empty
// fields stay (a parser that wants none refuses them).
#ifndef TEXT_FIELDS_H
#define TEXT_FIELDS_H

#include <string>
#include <vector>

namespace TextFields {

inline std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at; (at = line.find(separator, start)) != std::string::npos; start = at + 1) {
        fields.push_back(line.substr(start, at - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

// The lines of a text; a final line break ends the last line and starts none.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines = Split(text, '\n');
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

}  // namespace TextFields

#endif
