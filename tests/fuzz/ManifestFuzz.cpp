// A bundle manifest as the verifier reads it: whatever it accepts must be written
// back to the very same text (one text per content), and compare with itself as equal.
#include <stdlib.h>

#include <string>
#include <vector>

#include "BundleManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<BundleTree::Entry> entries;
    std::string why;
    if (!BundleManifest::Read(text, entries, why)) return 0;
    if (BundleManifest::Write(entries) != text) abort();
    if (!BundleManifest::FirstDifference(entries, entries).empty()) abort();
    return 0;
}
