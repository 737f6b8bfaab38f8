#include "SandboxRun.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Measure.h"

namespace SandboxRun {

namespace {

// One private IPC namespace for the whole benchmark, made before the first run rather
// than in each child: the measures then hold only the program's own cost, and an
// installer elsewhere on the machine still cannot hold its locks.
void PrivateLocks() {
    static const bool made = [] {
        if (unshare(CLONE_NEWIPC) == 0) return true;
        perror("private IPC namespace (the machine's locks are used)");
        return false;
    }();
    (void)made;
}

}  // namespace

Sample Run(const std::vector<std::string>& argv, const std::string& machine) {
    PrivateLocks();
    std::vector<std::string> settings{"KAVEX_SYSTEM_ROOT=" + machine};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const std::string name = setting.substr(0, setting.find('='));
        if (name != "KAVEX_SYSTEM_ROOT" && name != "DISPLAY" && name != "WAYLAND_DISPLAY") settings.push_back(setting);
    }
    std::vector<char*> environment, args;
    for (std::string& setting : settings) environment.push_back(&setting[0]);
    environment.push_back(nullptr);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The clock starts in the child, just before it runs the program: the fork of this
    // benchmark is not the program's cost. (A spawn that shares our memory would be
    // cheaper still, but the child's peak size would then count ours.)
    static double* const started =
        static_cast<double*>(mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (started == MAP_FAILED) return Sample{0, 0, 127};
    const pid_t pid = fork();
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0) _exit(127);
        *started = Measure::Now();
        execve(args[0], args.data(), environment.data());
        _exit(127);
    }
    if (pid < 0) return Sample{0, 0, 127};
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    return Sample{Measure::Now() - *started, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}

bool OneProductMachine(const std::string& machine, const MachineLayout::Proxy& base) {
    using namespace MachineLayout;
    setenv("KAVEX_SYSTEM_ROOT", machine.c_str(), 1);
    if (access((machine + "/Library/Application Support/Kavex/moxa/moxa.db").c_str(), F_OK) == 0) return Ok();
    MakeFolders(machine + "/Library/Application Support");
    moxaiSession* session = nullptr;
    Check(moxaOpenSession(&session), "creating the store");
    if (session == nullptr) return false;
    InstallBase(session, machine + "/Library/Application Support/Kavex", base, {"{SESSION}"},
                machine + "/Applications/" + base.name, STANDIN_SETUP, "");
    Check(moxaCloseSession(session), "closing the store");
    return Ok();
}

std::string CopyProgram(const std::string& folder) {
    MachineLayout::MakeFolders(folder);
    if (system(("cp -a '" + std::string(BUNDLE_DIR) + "' '" + folder + "/'").c_str()) != 0) return std::string();
    return folder + "/Update.app/Contents/MacOS/Update";
}

}  // namespace SandboxRun
