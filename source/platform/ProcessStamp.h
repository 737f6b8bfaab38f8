// A process named so that a reused pid does not pass for it: "<pid> <start time in ticks
// since boot>", from /proc.
#ifndef PROCESS_STAMP_H
#define PROCESS_STAMP_H

#include <string>

namespace ProcessStamp {
// "" when the process is gone.
std::string Of(int pid);
// Whether the process that stamp names still runs.
bool Runs(const std::string& stamp);
}  // namespace ProcessStamp

#endif
