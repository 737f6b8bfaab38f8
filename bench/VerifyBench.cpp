// Verifies a signed bundle as the program does before a run, against `sha256sum`
// of the same files in the same run (the anchor): the demo's bundle, and the same
// bundle with 1 GB of patch data beside it. Prints the medians and the ratios;
// exits non-zero when the 1 GB bundle's verification costs more than 1.2x the anchor.
//
//   build/bench/VerifyBench [runs] [folder to work in]
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "BundleManifest.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleVerifier.h"
#include "Measure.h"
#include "SignedBundle.h"

namespace {

using SignedBundle::AddGigabyte;
using SignedBundle::RunToEnd;

struct Figures {
    double verify;
    double anchor;
    Measure::Spread ratios;  // each verification over the same round's sha256sum
    uint64_t bytes;
};

bool TimeVerification(const std::string& bundle, const BundleSignature::SecretKey& secret, const BundleSignature::PublicKey& key,
             int runs, Figures& figures) {
    std::vector<BundleTree::Entry> entries;
    if (!SignedBundle::Sign(bundle, secret, entries)) return false;
    std::vector<std::string> anchor = {"/usr/bin/sha256sum"};
    figures.bytes = 0;
    for (const BundleTree::Entry& entry : entries) {
        if (entry.type != BundleTree::Entry::kFile) continue;
        anchor.push_back(bundle + "/" + entry.path);
        figures.bytes += entry.size;
    }
    std::vector<double> verify, sums;
    for (int run = 0; run <= runs; ++run) {
        BundleVerifier::Verdict verdict;
        const double v = Measure::Timed([&] { verdict = BundleVerifier::Verify(bundle, {key}); });
        if (verdict.state != BundleVerifier::kValid) {
            std::cerr << "not valid: " << verdict.reason << "\n";
            return false;
        }
        int status = 0;
        const double s = Measure::Timed([&] { status = RunToEnd(anchor); });
        if (status != 0) {
            std::cerr << "sha256sum failed\n";
            return false;
        }
        if (run == 0) continue;  // the first run fills the page cache
        verify.push_back(v);
        sums.push_back(s);
    }
    figures.verify = Measure::Median(verify);
    figures.anchor = Measure::Median(sums);
    figures.ratios = Measure::Ratios(verify, sums);
    return true;
}

void Print(const char* name, const Figures& figures) {
    std::cout << name << ": " << figures.bytes << " bytes; verify " << figures.verify * 1000 << " ms, sha256sum (anchor) "
              << figures.anchor * 1000 << " ms, ratio min/median/max " << figures.ratios << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const std::string base = argc > 2 ? argv[2] : "/var/tmp";
    std::string work = base + "/verify-bench-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        std::cerr << "cannot make a folder in " << base << "\n";
        return 2;
    }
    const std::string machine = work + "/machine", bundle = work + "/bundle";
    mkdir(machine.c_str(), 0755);
    mkdir(bundle.c_str(), 0755);
    BundleSignature::PublicKey key;
    BundleSignature::SecretKey secret;
    Figures demo{}, large{};
    bool ok = BundleSignature::Generate(key, secret) &&
              RunToEnd({DEMO_MACHINE, machine, bundle, STANDIN_SETUP}) == 0 &&
              RunToEnd({"/bin/cp", "-a", BUNDLE_DIR, bundle + "/"}) == 0 && TimeVerification(bundle, secret, key, runs, demo);
    if (ok) {
        Print("demo bundle", demo);
        AddGigabyte(bundle);
        ok = TimeVerification(bundle, secret, key, runs, large);
        if (ok) Print("1 GB bundle", large);
    }
    RunToEnd({"/bin/rm", "-rf", work});
    if (!ok) return 2;
    const bool met = large.ratios.median <= 1.2;
    std::cout << (met ? "within" : "NOT within") << " 1.2x of sha256sum on the 1 GB bundle\n";
    return met ? 0 : 1;
}
