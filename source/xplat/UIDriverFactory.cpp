#include "UIDriverFactory.h"

namespace {
UIDriverFactory::Factory& TestFactory() {
    static UIDriverFactory::Factory factory;
    return factory;
}
}  // namespace

namespace UIDriverFactory {

void SetFactoryForTesting(Factory factory) { TestFactory() = factory; }

std::unique_ptr<UIDriver> Create(InstallerEngine::UIMode mode, InstallerEngine& engine) {
    if (TestFactory()) return TestFactory()(mode, engine);
    // The silent and wizard drivers register here as they arrive; until then
    // a mode without a driver ends like terminal mode.
    (void)mode;
    (void)engine;
    return std::unique_ptr<UIDriver>();
}

}  // namespace UIDriverFactory
