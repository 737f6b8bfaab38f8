// A bundle's manifest and signature file as the verifier reads them, and the machine's
// trust state as root reads it back: whatever a reader accepts must be written back to
// the very same text (one text per content), and a manifest compare with itself as equal.
#include <stdlib.h>

#include <string>
#include <vector>

#include "BundleManifest.h"
#include "BundleSignature.h"
#include "BundleTrustState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<BundleTree::Entry> entries;
    BundleManifest::Release release;
    std::string why;
    if (BundleManifest::Read(text, release, entries, why)) {
        if (BundleManifest::Write(release, entries) != text) abort();
        if (!BundleManifest::FirstDifference(entries, entries).empty()) abort();
    }
    BundleSignature::Signatures signatures;
    if (BundleSignature::ReadSignatures(text, signatures, why) && BundleSignature::SignaturesText(signatures) != text) abort();
    BundleTrustState state;
    if (BundleTrustState::Parse(text, state, why)) {
        // What it writes reads back to the same state.
        BundleTrustState again;
        if (!BundleTrustState::Parse(state.Text(), again, why) || again.Text() != state.Text()) abort();
    }
    return 0;
}
