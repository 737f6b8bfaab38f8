// The entry points of the conflict-pattern module (Boost.Regex and ICU behind it).
// The program loads it from the bundle only when a patch names conflicting
// processes, so that a run that matches nothing never loads those libraries.
// Nothing thrown crosses these functions.
#ifndef CONFLICT_PATTERN_MODULE_H
#define CONFLICT_PATTERN_MODULE_H

#include <stddef.h>

extern "C" {

// The name as a Perl expression followed by ".*"; null when it does not compile.
void* ConflictPatternCompile(const char* name, size_t length);
// 1 when the whole executable name matches, 0 when it does not, -1 when the
// match threw or ran past the budget (steps shared by one check, counted down).
int ConflictPatternMatch(const void* pattern, const char* executable, size_t length, long* budget);
void ConflictPatternFree(void* pattern);

}

#endif
