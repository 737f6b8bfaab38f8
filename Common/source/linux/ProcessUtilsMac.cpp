#include "ProcessUtilsMac.h"
#include "ApplicationDisplayNames.h"
#include "StringUtils.h"

#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>

namespace {

std::string ExecutableName(const std::string& pid) {
    char target[PATH_MAX];
    ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof(target) - 1);
    if (n > 0) {
        std::string path(target, static_cast<size_t>(n));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && StringUtils::EndsWith(path, deleted)) {
            path.erase(path.size() - deleted.size());
        }
        return path.substr(path.find_last_of('/') + 1);
    }
    return ProcessUtilsMac::CommandName(atoi(pid.c_str())).value_or(std::string());
}

}  // namespace

namespace ProcessUtilsMac {

bool GetRunningApplicationNamePairsOnMac(std::vector<std::pair<std::string, std::string> >& out) {
    std::vector<std::pair<int, std::string> > processes;
    if (!GetRunningProcesses(processes)) return false;
    // Matched by executable, shown by the name people know the application by.
    const ApplicationDisplayNames& names = ApplicationDisplayNames::System();
    for (const auto& process : processes) out.push_back(std::make_pair(process.second, names.NameOf(process.second)));
    return true;
}

bool GetRunningProcesses(std::vector<std::pair<int, std::string> >& out) {
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return false;
    while (struct dirent* entry = readdir(proc.get())) {
        const std::string pid = entry->d_name;
        bool numeric = !pid.empty();
        for (char c : pid) numeric = numeric && isdigit(static_cast<unsigned char>(c));
        if (!numeric) continue;
        const std::string name = ExecutableName(pid);
        if (!name.empty()) out.push_back(std::make_pair(atoi(pid.c_str()), name));
    }
    return true;
}

std::optional<std::string> CommandName(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!comm || !std::getline(comm, name)) return std::nullopt;
    return name;
}

}  // namespace ProcessUtilsMac
