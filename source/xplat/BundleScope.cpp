#include "BundleScope.h"

#include <algorithm>
#include <set>

#include "PayloadIteration.h"
#include "PayloadProxy.h"

namespace {

// A proxy that does not load is never classified, so it patches nothing.
template <typename Visit>
void EachPatch(const std::string& bundleFolder, Visit visit) {
    PayloadIteration::PathPairs pairs;
    PayloadIteration::EnumerateVornProxyAndPayloadPaths(FileSystemPath(bundleFolder + "/extensions"),
                                                        PayloadProxyFileConstants::kProxyTypeFull, pairs);
    for (const auto& pair : pairs) {
        PayloadProxy::DataStore proxy;
        if (proxy.Load(pair.first) && !proxy.mParentKavexCode.empty()) {
            if (!visit(proxy.mKavexCode, proxy.mParentKavexCode)) return;
        }
    }
}

}  // namespace

std::vector<std::string> BundleScope::BaseProducts(const std::string& bundleFolder) {
    std::set<std::string> codes;
    EachPatch(bundleFolder, [&codes](const std::string&, const std::string& parent) {
        codes.insert(parent);
        return true;
    });
    return std::vector<std::string>(codes.begin(), codes.end());
}

std::string BundleScope::FirstOutside(const std::string& bundleFolder, const std::vector<std::string>& products) {
    std::string outside;
    EachPatch(bundleFolder, [&](const std::string& code, const std::string& parent) {
        if (std::find(products.begin(), products.end(), parent) != products.end()) return true;
        outside = "the patch " + code + " is for base product " + parent + ", which the manifest does not name";
        return false;
    });
    return outside;
}
