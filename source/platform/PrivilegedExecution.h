// Runs a child program with administrator rights while a progress counter moves.
#ifndef PRIVILEGED_EXECUTION_H
#define PRIVILEGED_EXECUTION_H

#include <functional>
#include <string>
#include <vector>

#include "ExecUtils.h"
#include "ProgressCounter.h"

namespace FileSystemUtils {

// The child's result; *progress runs from start to limit - 1 in 10 ms steps and starts again.
// setup, when given, is what the child arranges before exec (working folder, an inherited lock).
int RunApplicationWithPrivileges(std::vector<std::string>& args, ProgressCounter* progress, int start, int limit,
                                 const ExecUtils::ChildSetup* setup = nullptr);
void* RunApplicationWithPriviligesImpl(void* data);

// How a process without superuser rights runs a child as administrator: the
// wizard installs one; without it such a run ends with 69. Returns false when
// the launch itself failed, else true with the raw wait status.
typedef std::function<bool(const std::string& command, const std::vector<std::string>& arguments, int& waitStatus)>
    PrivilegedExecutor;
void SetPrivilegedExecutor(PrivilegedExecutor executor);

}  // namespace FileSystemUtils

#endif
