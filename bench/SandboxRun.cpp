#include "SandboxRun.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iostream>

namespace SandboxRun {

namespace {
double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
}  // namespace

Sample Run(const std::vector<std::string>& argv, const std::string& machine) {
    std::cout.flush();  // or the child's reopened output would repeat what is buffered
    const double start = Now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        if (unshare(CLONE_NEWIPC) != 0) perror("private IPC namespace (the machine's locks are used)");
        setenv("KAVEX_SYSTEM_ROOT", machine.c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    return Sample{Now() - start, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
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
