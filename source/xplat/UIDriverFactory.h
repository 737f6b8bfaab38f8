// Creates the driver for a UI mode; null when the mode has none.
#ifndef UI_DRIVER_FACTORY_H
#define UI_DRIVER_FACTORY_H

#include <functional>
#include <memory>

#include "InstallerEngine.h"
#include "UIDriver.h"

namespace UIDriverFactory {
std::unique_ptr<UIDriver> Create(InstallerEngine::UIMode mode, InstallerEngine& engine);

// Lets tests put their own drivers in; an empty function restores the real ones.
typedef std::function<std::unique_ptr<UIDriver>(InstallerEngine::UIMode, InstallerEngine&)> Factory;
void SetFactoryForTesting(Factory factory);
}  // namespace UIDriverFactory

#endif
