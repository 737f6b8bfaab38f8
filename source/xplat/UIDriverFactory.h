// Creates the driver for a UI mode; null when the mode has none. The program
// registers the drivers it has: the wizard's comes from a module loaded on demand.
#ifndef UI_DRIVER_FACTORY_H
#define UI_DRIVER_FACTORY_H

#include <functional>
#include <memory>

#include "InstallerEngine.h"
#include "UIDriver.h"

namespace UIDriverFactory {
typedef std::function<std::unique_ptr<UIDriver>(InstallerEngine& engine)> Creator;
// An empty creator removes the mode's driver.
void Register(InstallerEngine::UIMode mode, Creator creator);
std::unique_ptr<UIDriver> Create(InstallerEngine::UIMode mode, InstallerEngine& engine);

// Lets tests put their own drivers in; an empty function restores the registered ones.
typedef std::function<std::unique_ptr<UIDriver>(InstallerEngine::UIMode, InstallerEngine&)> Factory;
void SetFactoryForTesting(Factory factory);
}  // namespace UIDriverFactory

#endif
