// What kavex-update adds to a run as root. First its staging and verification of a signed
// bundle with 1 GB of patch data (the demo's bundle and machine, the bundle's key trusted
// there), as it does them: copy into a new staging folder, then verify the copy against the
// machine's keys; beside `cp -a` of the same tree (the anchor) in the same rounds, taken in
// turn. Then the demo's silent run started through kavex-update against the same run started
// directly, each on a fresh copy of the machine. Prints the medians and the ratios (min /
// median / max over the rounds); exits 1 when staging and verifying cost more than 1.2x cp -a.
// Runs as root (the staging is root's).
//
//   build/bench/StageBench [rounds] [folder to work in]
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BundleManifest.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleVerifier.h"
#include "Measure.h"
#include "SandboxRun.h"
#include "SignedBundle.h"
#include "StagingArea.h"
#include "UniqueFd.h"

namespace {

using SignedBundle::AddGigabyte;
using SignedBundle::RunToEnd;

bool Sign(const std::string& bundle, const BundleSignature::SecretKey& secret) {
    std::vector<BundleTree::Entry> entries;
    return SignedBundle::Sign(bundle, secret, entries);
}

bool Trust(const std::string& machine, const BundleSignature::PublicKey& key) {
    const std::string folder = BundleVerifier::TrustedKeysFolder();
    if (folder.compare(0, machine.size(), machine) != 0) return false;
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/bench.pub") << BundleSignature::PublicKeyText(key);
    return chmod((folder + "/bench.pub").c_str(), 0644) == 0;
}

// kavex-update's two steps before the program runs; false when either fails or the copy is
// not the signed bundle. The staging is removed after the clock stops.
bool StageAndVerify(const std::string& bundle, double& seconds, double& copying) {
    UniqueFd folder(open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string why;
    std::optional<StagingArea> staging;
    bool ok = false;
    seconds = Measure::Timed([&] {
        StagingArea::Size size;
        if (!folder.valid() || !StagingArea::Measure(folder.get(), size, why)) return;
        staging = StagingArea::Create(why);
        if (!staging) return;
        copying = Measure::Timed([&] { ok = staging->CopyIn(folder.get(), why); });
        if (!ok) return;
        // As kavex-update does: the copies were hashed as they were made.
        BundleTree::RememberDigests(staging->SnapshotFolder(), std::move(staging->Digests()));
        ok = BundleVerifier::CheckRun(staging->SnapshotFolder()).state == BundleVerifier::kValid;
        if (!ok) why = BundleVerifier::CheckRun(staging->SnapshotFolder()).reason;
    });
    if (!ok) std::cerr << "staging: " << why << "\n";
    return ok;
}

void Print(const char* name, const std::vector<double>& measured, const char* anchorName, const std::vector<double>& anchors,
           const Measure::Spread& ratios) {
    std::cout << name << " " << Measure::Median(measured) * 1000 << " ms, " << anchorName << " (anchor) "
              << Measure::Median(anchors) * 1000 << " ms, ratio min/median/max " << ratios << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const std::string base = argc > 2 ? argv[2] : "/var/tmp";
    if (geteuid() != 0) {
        std::cerr << "StageBench stages as kavex-update does, as root\n";
        return 2;
    }
    std::string work = base + "/stage-bench-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        std::cerr << "cannot make a folder in " << base << "\n";
        return 2;
    }
    const std::string machine = work + "/machine", bundle = work + "/bundle", copy = work + "/copy";
    mkdir(machine.c_str(), 0755);
    mkdir(bundle.c_str(), 0755);
    setenv("KAVEX_SYSTEM_ROOT", machine.c_str(), 1);
    BundleSignature::PublicKey key;
    BundleSignature::SecretKey secret;
    bool ok = BundleSignature::Generate(key, secret) && RunToEnd({DEMO_MACHINE, machine, bundle, STANDIN_SETUP}) == 0 &&
              RunToEnd({"/bin/cp", "-a", BUNDLE_DIR, bundle + "/"}) == 0 && Trust(machine, key);
    // A pristine machine for every silent run: the first run installs, and changes it.
    ok = ok && RunToEnd({"/bin/cp", "-a", machine, work + "/pristine"}) == 0;

    // The silent run, started directly and through kavex-update, on the demo's signed bundle.
    std::vector<double> direct, entry;
    ok = ok && Sign(bundle, secret);
    for (int round = 0; ok && round <= rounds; ++round) {
        double seconds[2] = {0, 0};
        for (int through = 0; ok && through < 2; ++through) {
            ok = RunToEnd({"/bin/rm", "-rf", machine}) == 0 && RunToEnd({"/bin/cp", "-a", work + "/pristine", machine}) == 0;
            const std::vector<std::string> run =
                through ? std::vector<std::string>{KAVEX_UPDATE, "--mode=silent", bundle}
                        : std::vector<std::string>{bundle + "/Update.app/Contents/MacOS/Update", "--mode=silent"};
            const SandboxRun::Sample sample = SandboxRun::Run(run, machine);
            if (ok && sample.status != 0) {
                std::cerr << (through ? "through kavex-update" : "directly") << ": the silent run ended with " << sample.status << "\n";
                ok = false;
            }
            seconds[through] = sample.seconds;
        }
        if (round == 0) continue;  // the first round fills the page cache
        direct.push_back(seconds[0]);
        entry.push_back(seconds[1]);
    }
    const Measure::Spread runRatios = Measure::Ratios(entry, direct);
    if (ok) Print("silent run through kavex-update", entry, "started directly", direct, runRatios);

    // Staging and verifying 1 GB, and cp -a of the same tree.
    std::vector<double> staged, copied, copyIn;
    if (ok) {
        AddGigabyte(bundle);
        ok = Sign(bundle, secret);
    }
    for (int round = 0; ok && round <= rounds; ++round) {
        double stage = 0, copying = 0;
        ok = StageAndVerify(bundle, stage, copying);
        const double cp = Measure::Timed([&] { ok = ok && RunToEnd({"/bin/cp", "-a", bundle, copy}) == 0; });
        ok = ok && RunToEnd({"/bin/rm", "-rf", copy}) == 0;
        if (round == 0) continue;
        staged.push_back(stage);
        copied.push_back(cp);
        copyIn.push_back(copying);
    }
    const Measure::Spread stageRatios = Measure::Ratios(staged, copied);
    if (ok) {
        Print("1 GB bundle: staging and verifying", staged, "cp -a", copied, stageRatios);
        // Where the time goes: the copy into the staging alone, against the same anchor.
        Print("1 GB bundle: of which the copy", copyIn, "cp -a", copied, Measure::Ratios(copyIn, copied));
    }
    RunToEnd({"/bin/rm", "-rf", work});
    if (!ok) return 2;
    const bool met = stageRatios.median <= 1.2;
    std::cout << (met ? "within" : "NOT within") << " 1.2x of cp -a on the 1 GB bundle (goal 1.0x)\n";
    return met ? 0 : 1;
}
