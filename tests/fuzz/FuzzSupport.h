// What the fuzz targets share: a private machine root, an input file, and a
// check of the page answers' syntax.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace FuzzSupport {

// A private folder removed at exit; KAVEX_SYSTEM_ROOT points at it, so the
// stores the targets open never are the machine's.
const std::string& Root();
// Replaces the file at path (under Root()) with the input.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);
// Named locks are machine-wide: a target that takes them gets its own IPC
// namespace, or stops.
void IsolateNamedLocks();
// True when text is one object as the page's support script reads it: names
// and values quoted with \", \\, \', \n, \r escaped, other bytes as they are.
bool IsPageAnswer(const std::string& text);
// Stops the run as a finding, with a message.
[[noreturn]] void Finding(const char* what, const std::string& detail);

}  // namespace FuzzSupport

#endif
