// The silent run of the built program on bundles of growing size: N patches of one
// installed base product, each launched once (the stand-in setup ends at once).
// The cost per patch must stay flat as N grows.
//
//   SilentRunBench [N ...]        default: 100 1000 10000
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "SandboxRun.h"

namespace {

using namespace MachineLayout;

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
