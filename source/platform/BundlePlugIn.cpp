#include "BundlePlugIn.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

#include "MainBundle.h"

namespace BundlePlugIn {

std::string PathFor(const std::string& name) { return MainBundle::PlugInsPath() + "/" + name + ".so"; }

void* Symbol(const std::string& name, const char* symbol, std::string& error) {
    static std::mutex mutex;
    static std::map<std::string, void*> handles;
    std::lock_guard<std::mutex> guard(mutex);
    void*& handle = handles[name];
    if (handle == nullptr) {
        handle = dlopen(PathFor(name).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* reason = dlerror();
            error = reason != nullptr ? reason : "cannot be loaded";
            return nullptr;
        }
    }
    void* address = dlsym(handle, symbol);
    if (address == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "symbol missing";
    }
    return address;
}

}  // namespace BundlePlugIn
