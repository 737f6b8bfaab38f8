// The meaning of a code of the session's table, in words.
#ifndef EXIT_CODE_MEANING_H
#define EXIT_CODE_MEANING_H

#include <string>

namespace ExitCodeMeaning {
std::string Text(long long code);
}

#endif
