// What one launch of a cached main setup did, for the run's report.
#ifndef LAUNCH_RECORD_H
#define LAUNCH_RECORD_H

#include <cstdint>
#include <string>
#include <vector>

struct LaunchRecord {
    std::string code;
    std::string sessionID;
    std::string workingFolder;
    std::vector<std::string> arguments;
    int64_t startedMs = 0;     // wall clock, milliseconds since the epoch
    int64_t durationMs = 0;
    bool launched = false;     // false: refused before the setup was started
    std::string notLaunchedReason;
    int exitStatus = -1;       // the setup's own exit status; -1 when it did not exit
    int signal = 0;            // the signal that ended or stopped it; 0 when none
    int result = 0;            // the code the session recorded for it
    bool rolledBack = false;   // every copy beside the setup was taken back
    bool undoPending = false;  // the taking back did not complete: the next run finishes it
    bool timedOut = false;     // ended by --setupTimeout
};

#endif
