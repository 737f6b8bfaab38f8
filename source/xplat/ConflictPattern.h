// The pattern a conflicting-process entry stands for: its name as a Perl
// expression followed by ".*", matched against whole executable names.
#ifndef CONFLICT_PATTERN_H
#define CONFLICT_PATTERN_H

#include <boost/regex.hpp>

#include <string>

namespace ConflictPattern {
// A name that is not a valid expression is matched as it is written; valid says which.
boost::regex Compile(const std::string& processName, bool* valid = nullptr);
}

#endif
