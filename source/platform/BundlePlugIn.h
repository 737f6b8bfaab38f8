// A shared module in the bundle's plug-in folder, loaded on first use and kept
// for the rest of the process (its code may still run from objects it made).
#ifndef BUNDLE_PLUG_IN_H
#define BUNDLE_PLUG_IN_H

#include <string>

namespace BundlePlugIn {
// Contents/PlugIns/<name>.so beside the running program.
std::string PathFor(const std::string& name);
// The address of symbol in the module; null with the loader's reason in error.
void* Symbol(const std::string& name, const char* symbol, std::string& error);
}  // namespace BundlePlugIn

#endif
