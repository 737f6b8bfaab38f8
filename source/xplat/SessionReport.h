// The machine-readable account of one run, written when the command line asks
// for it with --report=FILE, whatever the mode.
#ifndef SESSION_REPORT_H
#define SESSION_REPORT_H

#include <cstdint>
#include <string>

#include "SessionLogRange.h"

class InstallerEngine;

class SessionReport {
public:
    static constexpr int kSchemaVersion = 1;

    // Notes when the run started.
    SessionReport();

    // The report as JSON text.
    std::string Document(InstallerEngine& engine, unsigned code, const std::string& message);
    // Writes it when asked for; false when it was asked for and could not be written.
    bool Finish(InstallerEngine& engine, unsigned code, const std::string& message);

private:
    int64_t mStartedMs;
    SessionLogRange mLog;
};

#endif
