// The application bundle this executable runs from.
#ifndef MAIN_BUNDLE_H
#define MAIN_BUNDLE_H

#include <string>

namespace MainBundle {
std::string ExecutablePath();  // empty when it cannot be read
// X.app when the executable lies in X.app/Contents/MacOS, else the executable's folder.
std::string BundlePath();
std::string SharedSupportPath();
std::string ResourcesPath();
std::string FrameworksPath();
std::string PlugInsPath();
}  // namespace MainBundle

#endif
