// Any file as the installed-products store (and as the configuration store),
// then the classification's queries over the codes it holds: with the
// session's cache and without it, which must agree.
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "MoxaQueries.h"
#include "MoxaiResultCodes.h"
#include "PayloadsManagerUtils.h"
#include "PcdStore.h"
#include "MoxaiDataStore.h"
#include "moxaiSession.h"

namespace {

struct Outcome {
    bool classified = false;
    bool parentInstalled = false;
    bool parentCodeCurrent = false;
    int result = 0;
    std::string effective;
    std::set<std::string> upgrading, originals, higher;
    std::string Text() const {
        return "classified " + std::to_string(classified) + ", parent installed " + std::to_string(parentInstalled) +
               ", current " + std::to_string(parentCodeCurrent) + ", result " + std::to_string(result) + ", effective " +
               effective + ", upgrading " + Join(upgrading) + ", originals " + Join(originals) + ", higher " + Join(higher);
    }
    static std::string Join(const std::set<std::string>& codes) {
        std::string text;
        for (const std::string& code : codes) text += code + " ";
        return text;
    }
    bool operator!=(const Outcome& other) const {
        return classified != other.classified || parentInstalled != other.parentInstalled ||
               parentCodeCurrent != other.parentCodeCurrent || result != other.result || effective != other.effective ||
               upgrading != other.upgrading || originals != other.originals || higher != other.higher;
    }
};

Outcome Classify(const std::string& parent, const std::string& patch, PayloadsManagerUtils::ClassificationReads& reads,
                 moxaiSession* config) {
    const PayloadsManagerUtils::InstallState state = PayloadsManagerUtils::GetVORNPayloadInstallState(parent, patch, reads, config);
    Outcome outcome;
    outcome.classified = state.classified;
    outcome.parentInstalled = state.parentInstalled;
    outcome.parentCodeCurrent = state.parentCodeCurrent;
    outcome.result = state.result;
    outcome.effective = state.effective;
    outcome.upgrading = state.upgrading;
    outcome.originals = state.upgradedOriginals;
    outcome.higher = state.higherPatches;
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string kavex = FuzzSupport::Root() + "/Library/Application Support/Kavex";
    FuzzSupport::WriteFile(kavex + "/moxa/moxa.db", data, size);
    FuzzSupport::WriteFile(kavex + "/Kavex PCD/pcd.db", data, size);
    moxaiSession* store = nullptr;
    if (moxaOpenSession(&store) != kMoxaOK) return 0;
    moxaiSession* config = nullptr;
    if (pcdOpenSessionNoCreate(&config) != kMoxaOK) config = nullptr;

    std::vector<std::string> codes{"{BASE}", "{PATCH}"};
    const char** payloads = nullptr;
    if (moxaGetPayloads(store, 4, &payloads) == kMoxaOK) {
        for (int i = 0; payloads[i] != nullptr && codes.size() < 6; ++i) codes.push_back(payloads[i]);
    }
    // A damaged file (a table and its index apart) answers a scan and a lookup
    // differently: the two ways of reading agree only on an intact store.
    const char* check = nullptr;
    const bool intact = store->store != nullptr && store->store->querySingle(&check, "PRAGMA integrity_check") == kMoxaOK &&
                        check != nullptr && std::string(check) == "ok";
    PayloadsManagerUtils::ClassificationCache cache(store);
    PayloadsManagerUtils::DirectClassificationReads reads(store);
    for (const std::string& parent : codes) {
        for (const std::string& patch : codes) {
            if (parent == patch) continue;
            const Outcome cached = Classify(parent, patch, cache, config);
            const Outcome direct = Classify(parent, patch, reads, config);
            if (intact && cached != direct) {
                FuzzSupport::Finding("classification differs with the session's cache",
                                     parent + " / " + patch + "\ncached: " + cached.Text() + "\ndirect: " + direct.Text());
            }
        }
    }
    // Any input may fail a read; what a close says of it is not under test here.
    if (config != nullptr) (void)pcdCloseSession(config);
    (void)moxaCloseSession(store);
    return 0;
}
