// What a typical silent run costs the machine, beside a bare process in the same
// run: a bundle of four patches, one of them installed (the stand-in setup ends at
// once). Medians of wall time and of peak resident size, and the split of the time:
// loading (the program ending at once), the store, the patch descriptions with the
// classification, and the launch. The silent run with nothing to install and the check
// are put beside their anchor, `sqlite3` reading the same store whole, in the same run:
// each within 2x of it.
//
//   SilentStartBench [runs]        default: 21
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "Measure.h"
#include "SandboxRun.h"

namespace {

using namespace MachineLayout;
using Measure::Median;

struct Case {
    std::string name;
    std::vector<std::string> argv;
    std::string machine;
    int expected;
    std::vector<double> seconds;
    std::vector<long> peaks;
};

// One machine with a base product in one session; bundles beside copies of the program.
std::string Layout(const std::string& root, const std::string& bundleName, int patches, bool applicable) {
    const std::string bundle = root + "/" + bundleName;
    if (!SandboxRun::OneProductMachine(root + "/machine", Proxy{"{BASE}", "Suite", "1.0", "", "", "1000", {}})) {
        return std::string();
    }
    MakeFolders(bundle + "/extensions");
    for (int i = 0; i < patches; ++i) {
        const bool installable = applicable && i == 0;
        const std::string n = std::to_string(i);
        AddPatch(bundle, "P" + n, Proxy{"{PATCH-" + n + "}", "Patch " + n, "1.0." + std::to_string(i + 1),
                                        installable ? "{BASE}" : "{ABSENT}", "Suite", "1000", {}});
    }
    return Ok() ? SandboxRun::CopyProgram(bundle) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 21;
    char folder[] = "/var/tmp/silent-start-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    const std::string root = folder, machine = root + "/machine";
    const std::string store = machine + "/Library/Application Support/Kavex/moxa/moxa.db";
    const std::string empty = Layout(root, "empty", 0, false);
    const std::string none = Layout(root, "none", 4, false);
    const std::string typical = Layout(root, "typical", 4, true);
    if (empty.empty() || none.empty() || typical.empty()) {
        std::cerr << "cannot lay out the bundles\n";
        return 2;
    }
    std::vector<Case> cases = {
        {"bare process (/bin/true)", {"/bin/true"}, machine, 0, {}, {}},
        {"program ending at once (terminal mode)", {typical, "--mode=terminal"}, machine, 5, {}, {}},
        {"silent, empty bundle (store)", {empty, "--mode=silent"}, machine, 0, {}, {}},
        {"silent, four patches, none to install", {none, "--mode=silent"}, machine, 27, {}, {}},
        {"silent, four patches, one installed", {typical, "--mode=silent"}, machine, 0, {}, {}},
        {"anchor: sqlite3 reading the store (.dump)", {"/usr/bin/sqlite3", "-readonly", store, ".dump"}, machine, 0, {}, {}},
        {"check, four patches, one to install", {typical, "--mode=check"}, machine, 0, {}, {}},
    };
    bool ok = true;
    // Interleaved, so that whatever else the machine does weighs on every case alike.
    for (int run = 0; run < runs && ok; ++run) {
        for (Case& c : cases) {
            const SandboxRun::Sample sample = SandboxRun::Run(c.argv, c.machine);
            if (sample.status != c.expected) {
                std::cerr << c.name << " ended with " << sample.status << ", not " << c.expected << "\n";
                ok = false;
                break;
            }
            c.seconds.push_back(sample.seconds);
            c.peaks.push_back(sample.peakKiB);
        }
    }
    if (getenv("KEEP") == nullptr) system(("rm -rf '" + root + "'").c_str());
    if (!ok) return 1;
    std::vector<double> medians;
    for (const Case& c : cases) {
        medians.push_back(Median(c.seconds) * 1000.0);
        std::cout << std::left << std::setw(42) << c.name << std::right << std::fixed << std::setprecision(1)
                  << std::setw(7) << medians.back() << " ms " << std::setw(7) << Median(c.peaks) / 1024.0 << " MiB\n";
    }
    std::cout << "split of the typical run: loading " << medians[1] - medians[0] << " ms, store " << medians[2] - medians[1]
              << " ms, descriptions and classification " << medians[3] - medians[2] << " ms, launch "
              << medians[4] - medians[3] << " ms\n";
    const double wall = medians[4];
    const double peak = Median(cases[4].peaks) / 1024.0;
    std::cout << "typical silent run: " << wall << " ms (target under 20), " << peak << " MiB peak (target under 15); over a bare process, min/median/max "
              << Measure::Ratios(cases[4].seconds, cases[0].seconds) << "\n";
    // Ratios per round (the rounds are interleaved), against the anchor of the same round.
    bool within = true;
    for (size_t measured : {size_t(3), size_t(6)}) {
        const Measure::Spread ratios = Measure::Ratios(cases[measured].seconds, cases[5].seconds);
        within = within && ratios.median <= 2.0;
        std::cout << cases[measured].name << " over the anchor (" << medians[5] << " ms): min/median/max " << ratios
                  << " (target: median within 2)\n";
    }
    return wall < 20.0 && peak < 15.0 && within ? 0 : 1;
}
