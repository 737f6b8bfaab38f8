#include "UIDriverFactory.h"

#include "UIDriverCheck.h"
#include "UIDriverFullGUI.h"
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
    switch (mode) {
        case InstallerEngine::kModeSilent: return std::unique_ptr<UIDriver>(new UIDriverSilent(engine));
        case InstallerEngine::kModeFullGUI: return std::unique_ptr<UIDriver>(new UIDriverFullGUI(engine));
        case InstallerEngine::kModeCheck: return std::unique_ptr<UIDriver>(new UIDriverCheck(engine));
        default: return std::unique_ptr<UIDriver>();
    }
}

}  // namespace UIDriverFactory
