#include "ConflictPattern.h"

#include <dlfcn.h>

#include <mutex>

#include "BundlePlugIn.h"
#include "ConflictPatternModule.h"
#include "MOQLogger.h"

namespace {

const char* const kModuleName = "ConflictPatterns";

// All three entry points, or compile is null.
struct Engine {
    decltype(&ConflictPatternCompile) compile = nullptr;
    decltype(&ConflictPatternMatch) match = nullptr;
    decltype(&ConflictPatternFree) release = nullptr;
};

// A program linked with the module (the tests, the bundle tool) has its entry points
// already; the installer itself loads the module from its own bundle on first use.
void* EntryPoint(const char* symbol, std::string& error) {
    if (void* linked = dlsym(RTLD_DEFAULT, symbol)) return linked;
    return BundlePlugIn::Symbol(kModuleName, symbol, error);
}

const Engine& TheEngine() {
    static Engine engine;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string error;
        engine.compile = reinterpret_cast<decltype(&ConflictPatternCompile)>(EntryPoint("ConflictPatternCompile", error));
        engine.match = reinterpret_cast<decltype(&ConflictPatternMatch)>(EntryPoint("ConflictPatternMatch", error));
        engine.release = reinterpret_cast<decltype(&ConflictPatternFree)>(EntryPoint("ConflictPatternFree", error));
        if (engine.compile == nullptr || engine.match == nullptr || engine.release == nullptr) {
            engine.compile = nullptr;
            MOQ_LOG("Conflicting process names are matched as written: the pattern module %s cannot be loaded (%s)\n",
                    BundlePlugIn::PathFor(kModuleName).c_str(), error.c_str());
        }
    });
    return engine;
}

}  // namespace

namespace ConflictPattern {

Matcher::Matcher(const std::string& name, long& budget) : mName(name), mLiteral(false), mBudget(budget), mPattern(nullptr) {
    const Engine& engine = TheEngine();
    if (engine.compile == nullptr) {
        mLiteral = true;  // the engine's absence is logged once
        return;
    }
    mPattern = engine.compile(name.data(), name.size());
    if (mPattern == nullptr) TakeLiterally("is not a valid pattern");
}

Matcher::~Matcher() {
    if (mPattern != nullptr) TheEngine().release(mPattern);
}

bool Matcher::Matches(const std::string& executable) {
    if (!mLiteral && mBudget <= 0) TakeLiterally("comes after the matching budget was spent");
    if (!mLiteral) {
        const int matched = TheEngine().match(mPattern, executable.data(), executable.size(), &mBudget);
        if (matched >= 0) return matched == 1;
        TakeLiterally("cannot be matched within the bound");
    }
    return executable.compare(0, mName.size(), mName) == 0;
}

void Matcher::TakeLiterally(const std::string& why) {
    mLiteral = true;
    MOQ_LOG("Conflicting process name %s %s, matching it literally\n", mName.c_str(), why.c_str());
}

bool Compiles(const std::string& processName) {
    const Engine& engine = TheEngine();
    void* pattern = engine.compile != nullptr ? engine.compile(processName.data(), processName.size()) : nullptr;
    if (pattern == nullptr) return false;
    engine.release(pattern);
    return true;
}

}  // namespace ConflictPattern
