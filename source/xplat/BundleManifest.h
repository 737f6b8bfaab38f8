// The text of a bundle's manifest: one line per entry of the bundle folder, in
// byte-wise order of the paths, so that the same content always gives the same text.
//
//   kavex-bundle-manifest 1
//   file 0644 1234 <sha256> extensions/Update/Update.proxy.xml
//   folder 0755 0 - extensions
//   link 0777 9 - lib/libx.so libx.so.1
//
// Paths and link targets are written with bytes below '!', above '~' and '%' itself
// as %XX, so that every field is one word.
#ifndef BUNDLE_MANIFEST_H
#define BUNDLE_MANIFEST_H

#include <string>
#include <vector>

#include "BundleTree.h"

class BundleManifest {
public:
    static const char* const kManifestName;   // "bundle.manifest"
    static const char* const kSignatureName;  // "bundle.sig"
    static const size_t kMaxBytes = 64 * 1024 * 1024;

    // The text of entries, which must be sorted by path.
    static std::string Write(const std::vector<BundleTree::Entry>& entries);
    // Strict: false, with the line and why, for anything Write would not have written.
    static bool Read(const std::string& text, std::vector<BundleTree::Entry>& entries, std::string& why);
    // The first difference between what the manifest lists and what the folder holds,
    // in path order ("changed: PATH (content)", "missing: PATH", "extra: PATH"); empty when none.
    static std::string FirstDifference(const std::vector<BundleTree::Entry>& listed,
                                       const std::vector<BundleTree::Entry>& found);
};

#endif
