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
//
// Format 2 says, before the entries, which release of which product line it is,
// when it may be installed and what it may patch:
//
//   kavex-bundle-manifest 2
//   series photo-studio
//   version 12
//   issued 2026-12-01T10:00:00Z
//   expires 2027-06-01T23:59:59Z
//   products {BASE-1},{BASE-2}        ("-": none)
#ifndef BUNDLE_MANIFEST_H
#define BUNDLE_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

#include "BundleTree.h"

class BundleManifest {
public:
    static const char* const kManifestName;   // "bundle.manifest"
    static const char* const kSignatureName;  // "bundle.sig"
    static const size_t kMaxBytes = 64 * 1024 * 1024;
    static const size_t kMaxProducts = 256;

    // Format 1 has none of it: version 0, no expiry, any product.
    struct Release {
        int format = 1;
        std::string series;
        uint64_t version = 0;
        int64_t issued = 0;   // seconds since the epoch, UTC
        int64_t expires = 0;
        std::vector<std::string> products;
    };

    // The text of entries, which must be sorted by path.
    static std::string Write(const std::vector<BundleTree::Entry>& entries);
    static std::string Write(const Release& release, const std::vector<BundleTree::Entry>& entries);
    // Strict: false, with the line and why, for anything Write would not have written.
    static bool Read(const std::string& text, std::vector<BundleTree::Entry>& entries, std::string& why);
    static bool Read(const std::string& text, Release& release, std::vector<BundleTree::Entry>& entries, std::string& why);

    // A series name: 1 to 64 of [A-Za-z0-9._-]; a product code: 1 to 128 printable
    // characters without spaces or commas.
    static bool IsSeriesName(const std::string& name);
    static bool IsProductCode(const std::string& code);
    // "YYYY-MM-DDTHH:MM:SSZ"; Parse takes nothing else.
    static std::string TimeText(int64_t seconds);
    static bool ParseTime(const std::string& text, int64_t& seconds);
    // The first difference between what the manifest lists and what the folder holds,
    // in path order ("changed: PATH (content)", "missing: PATH", "extra: PATH"); empty when none.
    static std::string FirstDifference(const std::vector<BundleTree::Entry>& listed,
                                       const std::vector<BundleTree::Entry>& found);
};

#endif
