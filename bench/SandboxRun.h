// Runs of the built program on sandbox machines, for the benchmarks that time whole runs.
#ifndef SANDBOX_RUN_H
#define SANDBOX_RUN_H

#include <string>
#include <vector>

#include "MachineLayout.h"

namespace SandboxRun {

struct Sample {
    double seconds;
    long peakKiB;  // of the program and the children it waited for
    int status;    // exit status, or 128 when it did not exit
};

// argv run with the machine as its root, without a display, its output dropped, and in
// a private IPC namespace: an installer elsewhere on the machine must not stop the measure.
Sample Run(const std::vector<std::string>& argv, const std::string& machine);

// A machine with base installed in one session whose cached setup (the stand-in)
// ends at once; made only once per machine folder. False when it could not be laid out.
bool OneProductMachine(const std::string& machine, const MachineLayout::Proxy& base);
// A copy of the built bundle in folder; the program's path, or empty on failure.
std::string CopyProgram(const std::string& folder);

}  // namespace SandboxRun

#endif
