#include "MainBundle.h"

#include <limits.h>
#include <unistd.h>

#include "StringUtils.h"

namespace {

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

namespace MainBundle {

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string BundlePath() {
    const std::string folder = ParentOf(ExecutablePath());
    if (StringUtils::EndsWith(folder, "/Contents/MacOS")) {
        const std::string bundle = ParentOf(ParentOf(folder));
        if (StringUtils::EndsWith(bundle, ".app")) return bundle;
    }
    return folder;
}

std::string SharedSupportPath() { return BundlePath() + "/Contents/SharedSupport"; }
std::string ResourcesPath() { return BundlePath() + "/Contents/Resources"; }
std::string FrameworksPath() { return BundlePath() + "/Contents/Frameworks"; }
std::string PlugInsPath() { return BundlePath() + "/Contents/PlugIns"; }

}  // namespace MainBundle
