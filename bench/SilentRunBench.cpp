// The silent run of the built program on bundles of growing size: N patches of one
// installed base product, each launched once (the stand-in setup ends at once).
// The cost per patch must stay flat as N grows.
//
//   SilentRunBench [N ...]        default: 100 1000 10000
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "MachineLayout.h"

namespace {

using namespace MachineLayout;

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool Layout(const std::string& root, int patches) {
    const std::string machine = root + "/machine", bundle = root + "/bundle";
    setenv("KAVEX_SYSTEM_ROOT", machine.c_str(), 1);
    MakeFolders(machine + "/Library/Application Support");
    const Proxy base{"{BENCH-BASE}", "Bench Suite", "1.0", "", "", "1000", {}};
    moxaiSession* session = nullptr;
    Check(moxaOpenSession(&session), "creating the store");
    if (session == nullptr) return false;
    InstallBase(session, machine + "/Library/Application Support/Kavex", base, {"{BENCH-SESSION}"},
                machine + "/Applications/Bench Suite", STANDIN_SETUP, "");
    Check(moxaCloseSession(session), "closing the store");
    for (int i = 0; i < patches; ++i) {
        const std::string n = std::to_string(i);
        AddPatch(bundle, "P" + n, Proxy{"{BENCH-PATCH-" + n + "}", "Bench Patch " + n, "1.0." + std::to_string(i + 1),
                                        base.code, base.name, "1000", {}});
    }
    return Ok() && system(("cp -a '" + std::string(BUNDLE_DIR) + "' '" + bundle + "/'").c_str()) == 0;
}

// Wall time of one silent run; -1 when it did not end with 0.
double TimeRun(const std::string& root) {
    const std::string program = root + "/bundle/Update.app/Contents/MacOS/Update";
    std::cout.flush();
    const double start = Now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        // Locks of its own: an installer running elsewhere on the machine must not stop the measure.
        if (unshare(CLONE_NEWIPC) != 0) perror("private IPC namespace (the machine's locks are used)");
        setenv("KAVEX_SYSTEM_ROOT", (root + "/machine").c_str(), 1);
        unsetenv("DISPLAY");
        execl(program.c_str(), program.c_str(), "--mode=silent", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = Now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
    if (sizes.empty()) sizes = {100, 1000, 10000};
    char folder[] = "/var/tmp/silent-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    std::vector<double> perPatch;
    bool ok = true;
    for (int size : sizes) {
        const std::string root = std::string(folder) + "/" + std::to_string(size);
        if (!Layout(root, size)) {
            std::cerr << "cannot lay out " << size << " patches\n";
            ok = false;
            break;
        }
        const double seconds = TimeRun(root);
        if (seconds < 0) {
            std::cerr << "the run of " << size << " patches did not end with 0\n";
            ok = false;
            break;
        }
        perPatch.push_back(seconds * 1000.0 / size);
        std::cout << std::setw(6) << size << " patches: " << std::fixed << std::setprecision(2) << seconds << " s, "
                  << perPatch.back() << " ms per patch\n";
    }
    if (getenv("KEEP") == nullptr) system(("rm -rf '" + std::string(folder) + "'").c_str());
    if (!ok) return 1;
    const double growth = perPatch.back() / perPatch.front();
    std::cout << "cost per patch, largest over smallest bundle: " << std::setprecision(2) << growth << "x (target: under 2x)\n";
    return growth < 2.0 ? 0 : 1;
}
