// Error codes of a session; the same number space as AppExitCodes.
#ifndef ERROR_CODES_H
#define ERROR_CODES_H

namespace ErrorCodes {
const int kLaunchNotAttempted = 12;
const int kNotEnoughDiskSpace = 25;
const int kHigherPatchInstalled = 26;
const int kBasePayloadNotInstalled = 27;
const int kRollBack = 28;
const int kAlreadyInstalled = 29;
const int kConflictingProcessRunning = 30;
const int kMOXADBError = 31;
// Reported by main setups; the page shows it as a roll-back.
const int kRollBackAlternate = 32;
const int kAnotherInstanceRunning = 34;
// Keys are trusted and the bundle is not signed by one of them, or not as signed.
const int kBundleSignatureInvalid = 35;
const int kUnknownError = 0x7FFFFFFF;
}  // namespace ErrorCodes

#endif
