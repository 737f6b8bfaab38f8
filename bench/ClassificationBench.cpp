// Times PayloadsManager::Initialize and the four lists on a large machine:
// 20,000 installed payloads in 500 collections with upgrade constraints and
// upgrade rows, and a bundle of 100 patches whose parents are installed. Also
// times the classification of every patch step by step (no cache), the way the
// store helpers answer one query at a time, and checks that both agree. Last,
// times a whole check run (the program's check driver: classification, checks,
// plan, summary and report), which must plan a launch for every update found,
// against its anchor, the classification alone: within 1.5x of it.
//
//   [KEEP=1] build/bench/ClassificationBench [runs]       KEEP: the machine and bundle stay
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BuiltInDrivers.h"
#include "InstallerEngine.h"
#include "Measure.h"
#include "MoxaQueries.h"
#include "MoxaReadOnly.h"
#include "PayloadsManager.h"
#include "PayloadsManagerUtils.h"
#include "MoxaiDataStore.h"
#include "SessionReport.h"

namespace {

const int kCollections = 500;
const int kPayloadsPerCollection = 40;
const int kPatches = 100;

std::string Code(const char* kind, int n) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "{%s-%08d-0000-4000-8000-000000000000}", kind, n);
    return buffer;
}

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

bool BuildMachine(const std::string& root, const std::string& bundle) {
    MakeFolders(root + "/Library/Application Support");
    moxaiSession* session = nullptr;
    if (moxaOpenSession(&session) != kMoxaOK) return false;
    MoxaiDataStore& store = *session->store;
    int ts = 1;
    for (int c = 0; c < kCollections; ++c) {
        const std::string base = Code("BASE", c), collection = Code("COLL", c);
        store.queryNR("INSERT INTO vorn_payload VALUES ('%q', 'Family', 'Product', '1.0', '')", base.c_str());
        store.queryNR("INSERT INTO vorn_collection VALUES ('%q', '%q', %d, %d)", collection.c_str(), base.c_str(), ts, ts);
        store.queryNR("INSERT INTO vorn_collection_payload VALUES ('%q', '%q', 2, %d)", collection.c_str(), base.c_str(), ts++);
        for (int p = 1; p < kPayloadsPerCollection; ++p) {
            const std::string payload = Code("PART", c * kPayloadsPerCollection + p);
            store.queryNR("INSERT INTO vorn_payload VALUES ('%q', 'Family', 'Part', '1.0', '')", payload.c_str());
            store.queryNR("INSERT INTO vorn_collection_payload VALUES ('%q', '%q', 2, %d)", collection.c_str(), payload.c_str(), ts++);
            // parts are upgrades of their product, and some of earlier parts
            store.queryNR("INSERT INTO vorn_payload_constraint VALUES ('%q', '%q', 1)", payload.c_str(), base.c_str());
            if (p % 4 == 0) {
                store.queryNR("INSERT INTO vorn_payload_constraint VALUES ('%q', '%q', 1)", payload.c_str(),
                              Code("PART", c * kPayloadsPerCollection + p - 1).c_str());
                store.queryNR("INSERT INTO upgraded_payloads VALUES ('%q', '%q')",
                              Code("PART", c * kPayloadsPerCollection + p - 1).c_str(), payload.c_str());
            }
        }
    }
    // Each patch's base product has a cached installer, so that a check plans a launch for it.
    const std::string installDir = root + "/Applications/Product";
    MakeFolders(installDir);
    for (int p = 0; p < kPatches; ++p) {
        const int c = p * 5;
        const std::string base = Code("BASE", c), session = Code("SESSION", c);
        store.queryNR("INSERT INTO collection_data VALUES ('%q', 5, 'sessionID', '%q')", Code("COLL", c).c_str(), session.c_str());
        store.queryNR("INSERT INTO payload_data VALUES ('%q', 5, 'mediaPath', '/Volumes/Media/Base.dmg')", base.c_str());
        store.queryNR("INSERT INTO payload_data VALUES ('%q', 5, 'INSTALLDIR', '%q')", base.c_str(), installDir.c_str());
        const std::string media = root + "/Library/Application Support/Kavex/Installers/" + session + "/payloads/Base";
        MakeFolders(media);
        std::ofstream proxy(media + "/Base.proxy.xml");
        proxy << "<PayloadInfo><InstallerProperties><Property name=\"KavexCode\">" << base
              << "</Property><Property name=\"ProductVersion\">1.0</Property><Property name=\"ProductName\">Product"
              << "</Property></InstallerProperties><Satisfies><ProductInfo><Family>Family</Family><ProductName>Product"
              << "</ProductName></ProductInfo></Satisfies></PayloadInfo>\n";
    }
    if (moxaCloseSession(session) != kMoxaOK) return false;
    for (int p = 0; p < kPatches; ++p) {
        const std::string folder = bundle + "/extensions/Patch" + std::to_string(p);
        MakeFolders(folder);
        std::ofstream proxy(folder + "/Patch" + std::to_string(p) + ".proxy.xml");
        proxy << "<PayloadInfo><InstallerProperties>"
              << "<Property name=\"KavexCode\">" << Code("PATCH", p) << "</Property>"
              << "<Property name=\"ProductVersion\">1.0." << p << "</Property>"
              << "<Property name=\"ProductName\">Patch " << p << "</Property></InstallerProperties>"
              << "<Satisfies><ProductInfo><Family>Family</Family><ProductName>Patch</ProductName></ProductInfo></Satisfies>"
              << "<Extends type=\"patch\"><ParentProductInfo><KavexCode>" << Code("BASE", p * 5)
              << "</KavexCode><ProductName>Product</ProductName></ParentProductInfo></Extends></PayloadInfo>\n";
    }
    return true;
}

double Seconds(double start) { return Measure::Now() - start; }

}  // namespace

using Measure::Median;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    char templ[] = "/tmp/classification-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) return 1;
    const std::string root = std::string(templ) + "/machine", bundle = std::string(templ) + "/bundle";
    setenv("KAVEX_SYSTEM_ROOT", root.c_str(), 1);
    std::cout << "Building " << kCollections * kPayloadsPerCollection << " installed payloads in " << kCollections
              << " collections and " << kPatches << " patches...\n";
    if (!BuildMachine(root, bundle)) {
        std::cerr << "cannot build the machine\n";
        return 1;
    }

    std::vector<double> initialize;
    std::vector<std::string> lists;
    for (int run = 0; run < runs; ++run) {
        const double start = Measure::Now();
        FileSystemPath folder(bundle);
        if (!PayloadsManager::Initialize(folder, PayloadProxyFileConstants::kProxyTypeFull)) return 1;
        std::map<std::string, std::string> a, b, c, d;
        PayloadsManager* manager = PayloadsManager::Instance();
        manager->GetUpdatesList(a);
        manager->GetAlreadyUpdatedList(b);
        manager->GetHigherUpdateDetectedList(c);
        manager->GetParentNotInstalledUpdatedList(d);
        initialize.push_back(Seconds(start));
        lists = {std::to_string(a.size()), std::to_string(b.size()), std::to_string(c.size()), std::to_string(d.size())};
        PayloadsManager::Release();
    }
    std::cout << "Initialize and the four lists: median " << Median(initialize) * 1000 << " ms over " << runs
              << " runs (updates " << lists[0] << ", installed " << lists[1] << ", higher " << lists[2] << ", no base "
              << lists[3] << ")\n";

    // The same classification, one store query at a time, and with the session cache.
    moxaiSession* session = nullptr;
    moxaOpenSession(&session);
    moxaiSession* config = nullptr;
    std::vector<int> walked, cached;
    std::vector<double> stepTimes, cacheTimes;
    for (int run = 0; run < 1; ++run) {  // the step-by-step walk is slow: once
        for (int pass = 0; pass < 2; ++pass) {
            PayloadsManagerUtils::ClassificationCache cache(session);
            PayloadsManagerUtils::DirectClassificationReads direct(session);
            std::vector<int>& out = pass == 0 ? walked : cached;
            out.clear();
            const double start = Measure::Now();
            for (int p = 0; p < kPatches; ++p) {
                PayloadsManagerUtils::ClassificationReads& reads =
                    pass == 0 ? static_cast<PayloadsManagerUtils::ClassificationReads&>(direct) : cache;
                const PayloadsManagerUtils::InstallState state =
                    PayloadsManagerUtils::GetVORNPayloadInstallState(Code("BASE", p * 5), Code("PATCH", p), reads, config);
                out.push_back(state.result * 1000 + static_cast<int>(state.upgrading.size()));
            }
            (pass == 0 ? stepTimes : cacheTimes).push_back(Seconds(start));
        }
    }
    if (moxaCloseSession(session) != kMoxaOK) std::cerr << "closing the store failed\n";
    std::cout << "Classification of " << kPatches << " patches, step by step: median " << Median(stepTimes) * 1000 << " ms\n";
    std::cout << "Classification of " << kPatches << " patches, with the session cache: median " << Median(cacheTimes) * 1000
              << " ms\n";
    std::cout << "Both classifications agree: " << (walked == cached ? "yes" : "NO") << "\n";
    // A whole check, as `Update --mode=check --report=FILE` runs it (the program's own drivers),
    // its summary put aside. It must plan a launch for every update the classification found.
    BuiltInDrivers::Register();
    std::vector<double> checks, anchors;
    size_t planned = 0;
    unsigned checkCode = 0;
    const std::vector<std::string> args = {"Update", "--mode=check", "--report=" + std::string(templ) + "/report.json"};
    std::ostringstream summary;
    // Interleaved rounds: the anchor (Initialize and the four lists), then the check.
    for (int run = 0; run < runs; ++run) {
        const double anchorStart = Measure::Now();
        {
            FileSystemPath folder(bundle);
            if (!PayloadsManager::Initialize(folder, PayloadProxyFileConstants::kProxyTypeFull)) return 1;
            std::map<std::string, std::string> a, b, c, d;
            PayloadsManager* manager = PayloadsManager::Instance();
            manager->GetUpdatesList(a);
            manager->GetAlreadyUpdatedList(b);
            manager->GetHigherUpdateDetectedList(c);
            manager->GetParentNotInstalledUpdatedList(d);
            PayloadsManager::Release();
        }
        anchors.push_back(Seconds(anchorStart));
        std::streambuf* console = std::cout.rdbuf(summary.rdbuf());
        const double start = Measure::Now();
        {
            SessionReport report;
            InstallerEngine engine(bundle);
            checkCode = engine.Main(args);
            planned = engine.mPayloadsManager != nullptr ? engine.mPayloadsManager->Plan().size() : 0;
            report.Finish(engine, checkCode, "");
        }
        checks.push_back(Seconds(start));
        std::cout.rdbuf(console);
    }
    moxaSetReadOnly(false);
    const size_t updates = static_cast<size_t>(std::stoul(lists[0]));
    const bool checkPlanned = checkCode == 0 && updates == static_cast<size_t>(kPatches) && planned == updates &&
                              summary.str().find("Launch ") != std::string::npos;
    if (!checkPlanned) {
        std::cerr << "THE CHECK DID NOT MEASURE A CHECK: it ended with " << checkCode << " and planned " << planned
                  << " launches; the classification found " << updates << " updates\n";
    }
    const Measure::Spread ratios = Measure::Ratios(checks, anchors);
    const bool checkCheap = ratios.median <= 1.5;
    std::cout << "Check with its report: median " << Median(checks) * 1000 << " ms (" << planned
              << " launches planned, exit " << checkCode << "); anchor, the classification in the same rounds: "
              << Median(anchors) * 1000 << " ms; ratio min/median/max " << ratios << " (target: median within 1.5, " << (checkCheap ? "met" : "MISSED") << ")\n";

    if (getenv("KEEP") != nullptr) {
        std::cout << "kept: " << templ << "\n";
    } else if (system(("rm -rf '" + std::string(templ) + "'").c_str()) != 0) {
        std::cerr << "could not remove " << templ << "\n";
    }
    return walked == cached && Median(initialize) < 1.0 && checkPlanned && checkCheap ? 0 : 3;
}
