// A process named so that a reused pid does not pass for it: "<pid> <start time in ticks
// since boot>", from /proc. A process that has ended runs nothing though it stays in the
// process table (a zombie, 'Z') until its parent, or whoever inherited it, reaps it: it has
// no stamp.
#ifndef PROCESS_STAMP_H
#define PROCESS_STAMP_H

#include <string>

#include "Expected.h"

namespace ProcessStamp {
// The stamp of a process that runs, or why there is none.
Expected<std::string> OfRunning(int pid);
// The same, "" when there is none.
std::string Of(int pid);
// Whether the process that stamp names still runs.
bool Runs(const std::string& stamp);
}  // namespace ProcessStamp

#endif
