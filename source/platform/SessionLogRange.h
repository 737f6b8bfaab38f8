// Which lines of the shared session log a run wrote: the log is shared by
// every session, so a run's lines are a range of it (other sessions' lines may
// fall inside; each line carries its writer's process id).
#ifndef SESSION_LOG_RANGE_H
#define SESSION_LOG_RANGE_H

#include <cstdint>
#include <string>

class SessionLogRange {
public:
    void Begin(const std::string& path);
    void End();

    std::string path;
    uint64_t firstLine = 0;  // 1-based
    uint64_t lastLine = 0;
    bool known = false;      // false: the log could not be read as a plain file

private:
    static bool CountLines(const std::string& path, uint64_t& lines);
};

#endif
