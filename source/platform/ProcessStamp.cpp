#include "ProcessStamp.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "UniqueFd.h"

namespace ProcessStamp {

std::string Of(int pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::string();
    char buffer[1024];
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    // The name in parentheses may hold anything: fields are counted after its last ')'.
    const char* at = strrchr(buffer, ')');
    if (at == nullptr) return std::string();
    int field = 2;
    for (++at; *at != '\0' && field < 22; ++at) {
        if (*at == ' ') ++field;
    }
    if (field != 22) return std::string();
    const char* end = strchr(at, ' ');
    return std::to_string(pid) + " " + std::string(at, end != nullptr ? static_cast<size_t>(end - at) : strlen(at));
}

bool Runs(const std::string& stamp) {
    const int pid = atoi(stamp.c_str());
    return pid > 0 && Of(pid) == stamp;
}

}  // namespace ProcessStamp
