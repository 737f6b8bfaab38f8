// The silent run of the built program on bundles of growing size: N patches of one
// installed base product, each launched once (the stand-in setup ends at once).
// The cost per patch must stay flat as N grows, and within 1.3x of its anchor: a bare
// loop launching the same setup with the same arguments in the same folder (replayed
// from what the setup recorded of the run), in the same run of the benchmark.
//
//   [ROUNDS=3] SilentRunBench [N ...]        default: 100 1000 10000
#include <fcntl.h>
#include <sys/types.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Measure.h"
#include "SandboxRun.h"

namespace {

using namespace MachineLayout;
using Measure::Median;
using Measure::Now;

bool Layout(const std::string& root, int patches) {
    const Proxy base{"{BENCH-BASE}", "Bench Suite", "1.0", "", "", "1000", {}};
    if (!SandboxRun::OneProductMachine(root + "/machine", base)) return false;
    for (int i = 0; i < patches; ++i) {
        const std::string n = std::to_string(i);
        AddPatch(root + "/bundle", "P" + n, Proxy{"{BENCH-PATCH-" + n + "}", "Bench Patch " + n, "1.0." + std::to_string(i + 1),
                                                  base.code, base.name, "1000", {}});
    }
    return Ok() && !SandboxRun::CopyProgram(root + "/bundle").empty();
}

// Wall time of one silent run; -1 when it did not end with 0.
double TimeRun(const std::string& root) {
    const SandboxRun::Sample sample =
        SandboxRun::Run({root + "/bundle/Update.app/Contents/MacOS/Update", "--mode=silent"}, root + "/machine");
    return sample.status == 0 ? sample.seconds : -1;
}

// The setup's own record of the run: one line per launch, its working folder, then its argv.
std::vector<std::vector<std::string> > Launches(const std::string& path) {
    std::ifstream log(path);
    std::vector<std::vector<std::string> > launches;
    std::string line;
    while (std::getline(log, line)) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
        if (fields.size() >= 2) launches.push_back(fields);
    }
    return launches;
}

// The anchor: each recorded launch again, bare (spawned and waited for, output dropped,
// an empty environment like the program's). Wall time, or -1 when one did not end with 0.
double Replay(const std::vector<std::vector<std::string> >& launches) {
    char* noEnvironment[] = {nullptr};
    const double start = Now();
    for (const std::vector<std::string>& launch : launches) {
        std::vector<char*> argv;
        for (size_t i = 1; i < launch.size(); ++i) argv.push_back(const_cast<char*>(launch[i].c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, launch[0].c_str());
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), noEnvironment);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    }
    return Now() - start;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
    if (sizes.empty()) sizes = {100, 1000, 10000};
    char folder[] = "/var/tmp/silent-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    const int rounds = getenv("ROUNDS") != nullptr ? std::max(1, atoi(getenv("ROUNDS"))) : 3;
    std::vector<double> perPatch, anchors;
    double worst = 0;
    bool ok = true;
    for (int size : sizes) {
        const std::string root = std::string(folder) + "/" + std::to_string(size);
        if (!Layout(root, size)) {
            std::cerr << "cannot lay out " << size << " patches\n";
            ok = false;
            break;
        }
        // Interleaved rounds of the run and its anchor, so that whatever else the machine does
        // weighs on both alike.
        std::vector<double> runs, bares;
        for (int round = 0; round < rounds && ok; ++round) {
            const std::string log = root + "/machine/Library/Application Support/Kavex/Installers/{SESSION}/invocations.log";
            std::ofstream(log, std::ios::trunc).close();
            const double seconds = TimeRun(root);
            if (seconds < 0) {
                std::cerr << "the run of " << size << " patches did not end with 0\n";
                ok = false;
                break;
            }
            const std::vector<std::vector<std::string> > launches = Launches(log);
            if (launches.size() != static_cast<size_t>(size)) {
                std::cerr << "the run of " << size << " patches made " << launches.size() << " launches\n";
                ok = false;
                break;
            }
            const double bare = Replay(launches);
            if (bare < 0) {
                std::cerr << "a bare launch of the setup did not end with 0\n";
                ok = false;
                break;
            }
            runs.push_back(seconds);
            bares.push_back(bare);
            anchors.push_back(bare * 1000.0 / size);
        }
        if (!ok) break;
        const Measure::Spread ratios = Measure::Ratios(runs, bares);
        const double seconds = Median(runs);
        perPatch.push_back(seconds * 1000.0 / size);
        worst = std::max(worst, ratios.median);
        std::cout << std::setw(6) << size << " patches: " << std::fixed << std::setprecision(2) << seconds << " s, "
                  << perPatch.back() << " ms per patch; anchor, a bare launch of the same setup: " << Median(anchors)
                  << " ms; ratio min/median/max " << ratios << " over " << runs.size() << " rounds (target: median within 1.3)\n";
        anchors.clear();
    }
    if (getenv("KEEP") == nullptr) system(("rm -rf '" + std::string(folder) + "'").c_str());
    if (!ok) return 1;
    const double growth = perPatch.back() / perPatch.front();
    std::cout << "cost per patch, largest over smallest bundle: " << std::setprecision(2) << growth << "x (target: under 2x)\n";
    return growth < 2.0 && worst <= 1.3 ? 0 : 1;
}
