#include "ExitCodeMeaning.h"

#include "AppExitCodes.h"
#include "ErrorCodes.h"

namespace ExitCodeMeaning {

std::string Text(long long code) {
    using namespace AppExitCodes;
    using namespace ErrorCodes;
    switch (code) {
        case exitSuccess: return "Success";
        case kExitBadArguments: return "Bad command line";
        case kExitUserCancelled: return "The user ended the wizard before every available update was installed";
        case kExitNoAdministratorRights: return "Administrator rights could not be obtained";
        case kExitNoUIDriver: return "The selected mode has no UI driver";
        case exitWithRestartNeeded: return "Installed; the machine must be restarted";
        case kLaunchNotAttempted: return "A main setup could not be launched, or the store could not be opened while planning";
        case kExitInsufficientCredentials: return "Insufficient credentials";
        case kNotEnoughDiskSpace: return "Not enough disk space";
        case kHigherPatchInstalled: return "A higher patch is already installed";
        case kBasePayloadNotInstalled: return "The base product is not installed";
        case kRollBack:
        case kRollBackAlternate: return "An installation was rolled back";
        case kAlreadyInstalled: return "The patch is already installed";
        case kConflictingProcessRunning: return "A conflicting application is running";
        case kMOXADBError: return "The installed-products store could not be opened";
        case kAnotherInstanceRunning: return "Another installer of the family is running";
        case kBundleSignatureInvalid: return "The bundle is not signed by a trusted key, or differs from what was signed";
        case kUnknownError: return "Unknown error";
        case kExitUnhandledException: return "Unexpected exception";
        default: return "Unknown code";
    }
}

}  // namespace ExitCodeMeaning
