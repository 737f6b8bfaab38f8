// Whether every patch of a bundle is for a base product its manifest names.
#ifndef BUNDLE_SCOPE_H
#define BUNDLE_SCOPE_H

#include <string>
#include <vector>

namespace BundleScope {
// The base products the bundle's loadable proxies patch, sorted, each once.
std::vector<std::string> BaseProducts(const std::string& bundleFolder);
// The first patch whose base product products does not name ("the patch P is for
// base product B, which the manifest does not name"), empty when none.
std::string FirstOutside(const std::string& bundleFolder, const std::vector<std::string>& products);
}

#endif
