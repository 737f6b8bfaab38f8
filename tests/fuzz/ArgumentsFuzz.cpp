// A command line (arguments separated by zero bytes) through the argument parser.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "InstallerEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    InstallerEngine engine("/");
    const bool accepted = engine.ProcessArgumentVector(args);
    if (accepted && engine.mCaller == InstallerEngine::kCallerUpdateManager && engine.mUIMode != InstallerEngine::kModeSilent) {
        FuzzSupport::Finding("update manager caller outside silent mode", std::string(reinterpret_cast<const char*>(data), size));
    }
    return 0;
}
