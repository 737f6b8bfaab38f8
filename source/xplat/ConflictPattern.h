// The pattern a conflicting-process entry stands for: its name as a Perl
// expression followed by ".*", matched against whole executable names, within a
// bound. A name that does not compile, or whose match throws or runs past the
// bound, is matched as written instead (a prefix), and the log says so.
// The expressions are compiled and matched by the bundle's pattern module.
#ifndef CONFLICT_PATTERN_H
#define CONFLICT_PATTERN_H

#include <string>

namespace ConflictPattern {

// Steps of all the matches of one check: far above what real names and patterns
// take (tens of steps each), a few milliseconds of work.
const long kStepBudget = 4000000;

class Matcher {
public:
    // budget: the steps left to the whole check, shared by its matchers.
    Matcher(const std::string& name, long& budget);
    ~Matcher();
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;
    bool Matches(const std::string& executable);

private:
    void TakeLiterally(const std::string& why);
    std::string mName;
    bool mLiteral;
    long& mBudget;
    void* mPattern;
};

// Whether the name compiles as a pattern at all (never, without the module).
bool Compiles(const std::string& processName);

}  // namespace ConflictPattern

#endif
