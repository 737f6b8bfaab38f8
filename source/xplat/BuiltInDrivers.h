// The drivers the core itself has (silent and check), registered the one way the
// program and the benchmarks both use, so that a measured check is the program's check.
#ifndef BUILT_IN_DRIVERS_H
#define BUILT_IN_DRIVERS_H

namespace BuiltInDrivers {
void Register();
}

#endif
