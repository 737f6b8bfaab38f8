#include "ConflictPattern.h"

namespace ConflictPattern {

boost::regex Compile(const std::string& processName, bool* valid) {
    if (valid != nullptr) *valid = true;
    try {
        return boost::regex(processName + ".*", boost::regex::perl);
    } catch (const boost::regex_error&) {
        if (valid != nullptr) *valid = false;
        static const boost::regex special("[.^$|()\\[\\]{}*+?\\\\]");
        return boost::regex(boost::regex_replace(processName, special, "\\\\$&", boost::format_perl) + ".*", boost::regex::perl);
    }
}

}  // namespace ConflictPattern
