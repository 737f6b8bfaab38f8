#include "UIDriverFactory.h"

#include "UIDriverSilent.h"

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
    // The wizard's driver comes with the wizard; until then that mode ends like terminal mode.
    if (mode == InstallerEngine::kModeSilent) return std::unique_ptr<UIDriver>(new UIDriverSilent(engine));
    return std::unique_ptr<UIDriver>();
}

}  // namespace UIDriverFactory
