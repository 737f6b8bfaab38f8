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
    // readlink truncates silently: a result that fills the buffer may be cut short.
    for (size_t size = PATH_MAX; size <= 16 * PATH_MAX; size *= 2) {
        std::string buffer(size, '\0');
        const ssize_t n = readlink("/proc/self/exe", &buffer[0], size);
        if (n <= 0) return std::string();
        if (static_cast<size_t>(n) < size) return buffer.substr(0, static_cast<size_t>(n));
    }
    return std::string();
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
