#include "ProcessStamp.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "UniqueFd.h"

namespace ProcessStamp {

Expected<std::string> OfRunning(int pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    const ssize_t n = fd.valid() ? read(fd.get(), buffer, sizeof(buffer) - 1) : -1;
    if (n < 0) return ExpectedFailure(errno, std::string(path) + " cannot be read: " + strerror(errno));
    if (n == 0) return ExpectedFailure(0, std::string(path) + " is empty");
    buffer[n] = '\0';
    // The name in parentheses may hold anything: fields are counted after its last ')'.
    const char* fields = strrchr(buffer, ')');
    if (fields == nullptr || fields[1] != ' ') return ExpectedFailure(0, std::string(path) + " has no process name");
    const char state = fields[2];
    if (state == 'Z' || state == 'X') return ExpectedFailure(ESRCH, "process " + std::to_string(pid) + " has ended");
    int field = 2;
    const char* at = fields + 1;
    while (*at != '\0' && field < 22) {
        if (*at == ' ') ++field;
        ++at;
    }
    if (field != 22) return ExpectedFailure(0, std::string(path) + " has no start time");
    const char* end = strchr(at, ' ');
    return std::to_string(pid) + " " + std::string(at, end != nullptr ? static_cast<size_t>(end - at) : strlen(at));
}

std::string Of(int pid) {
    const Expected<std::string> stamp = OfRunning(pid);
    return stamp ? *stamp : std::string();
}

bool Runs(const std::string& stamp) {
    const int pid = atoi(stamp.c_str());
    return pid > 0 && Of(pid) == stamp;
}

}  // namespace ProcessStamp
