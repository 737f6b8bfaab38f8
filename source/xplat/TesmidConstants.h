// Names shared by every installer of the family.
#ifndef TESMID_CONSTANTS_H
#define TESMID_CONSTANTS_H

namespace TesmidConstants {
const char* const kSetupLockName = "VORNSetupLock";
const char* const kBootstrapperLockName = "VORNBootstrapperLock";
const char* const kPatchLockName = "VORNPatchLock";
}  // namespace TesmidConstants

#endif
