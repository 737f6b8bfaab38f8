// The pattern a conflicting-process entry stands for: its name as a Perl
// expression followed by ".*", matched against whole executable names, within a
// bound. A name that does not compile, or whose match throws or runs past the
// bound, is matched as written instead (a prefix), and the log says so.
#ifndef CONFLICT_PATTERN_H
#define CONFLICT_PATTERN_H

#include <boost/regex.hpp>

#include <string>

namespace ConflictPattern {

// Steps of all the matches of one check: far above what real names and patterns
// take (tens of steps each), a few milliseconds of work.
const long kStepBudget = 4000000;

class Matcher {
public:
    // budget: the steps left to the whole check, shared by its matchers.
    Matcher(const std::string& name, long& budget);
    bool Matches(const std::string& executable);

private:
    void TakeLiterally(const char* why);
    std::string mName;
    bool mLiteral;
    long& mBudget;
    boost::regex mPattern;
};

// Whether the name compiles as a pattern at all.
bool Compiles(const std::string& processName);

}  // namespace ConflictPattern

#endif
