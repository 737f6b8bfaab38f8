#include "BuiltInDrivers.h"

#include <memory>

#include "UIDriverCheck.h"
#include "UIDriverFactory.h"
#include "UIDriverSilent.h"

namespace BuiltInDrivers {

void Register() {
    UIDriverFactory::Register(InstallerEngine::kModeSilent, [](InstallerEngine& engine) {
        return std::unique_ptr<UIDriver>(new UIDriverSilent(engine));
    });
    UIDriverFactory::Register(InstallerEngine::kModeCheck, [](InstallerEngine& engine) {
        return std::unique_ptr<UIDriver>(new UIDriverCheck(engine));
    });
}

}  // namespace BuiltInDrivers
