// Which lines of the shared session log a run wrote. The log is shared by every
// session, so a run's lines are a range of it (other sessions' lines may fall
// inside); each line carries its writer's process id, which finds them.
#ifndef SESSION_LOG_RANGE_H
#define SESSION_LOG_RANGE_H

#include <cstdint>
#include <string>

class SessionLogRange {
public:
    // Reads the log once, when the run's report is made: nothing at start-up.
    void Locate(const std::string& path, int pid);

    std::string path;
    uint64_t firstLine = 0;  // 1-based
    uint64_t lastLine = 0;
    bool known = false;      // false: the log could not be read as a plain file, or holds none of the run's lines
};

#endif
