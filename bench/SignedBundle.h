// What the benchmarks of signed bundles share: a program run to its end, a gigabyte of patch
// data, and a manifest signed over what a bundle holds.
#ifndef SIGNED_BUNDLE_H
#define SIGNED_BUNDLE_H

#include <string>
#include <vector>

#include "BundleSignature.h"
#include "BundleTree.h"

namespace SignedBundle {

// argv run to its end with its standard output dropped; its exit status, 128 when it did not exit.
int RunToEnd(const std::vector<std::string>& argv);
// 8 x 128 MB of patch data, in the bundle's own layout.
void AddGigabyte(const std::string& bundle);
// Writes the bundle's manifest of what it holds and its signature; entries gets what was listed.
bool Sign(const std::string& bundle, const BundleSignature::SecretKey& secret, std::vector<BundleTree::Entry>& entries);

}  // namespace SignedBundle

#endif
