#include "UIDriverFactory.h"

#include <map>

namespace {
UIDriverFactory::Factory& TestFactory() {
    static UIDriverFactory::Factory factory;
    return factory;
}

std::map<InstallerEngine::UIMode, UIDriverFactory::Creator>& Creators() {
    static std::map<InstallerEngine::UIMode, UIDriverFactory::Creator> creators;
    return creators;
}
}  // namespace

namespace UIDriverFactory {

void SetFactoryForTesting(Factory factory) { TestFactory() = factory; }

void Register(InstallerEngine::UIMode mode, Creator creator) {
    if (creator) {
        Creators()[mode] = creator;
    } else {
        Creators().erase(mode);
    }
}

std::unique_ptr<UIDriver> Create(InstallerEngine::UIMode mode, InstallerEngine& engine) {
    if (TestFactory()) return TestFactory()(mode, engine);
    auto found = Creators().find(mode);
    return found != Creators().end() ? found->second(engine) : std::unique_ptr<UIDriver>();
}

}  // namespace UIDriverFactory
