// Exit codes of the process; they share one number space with ErrorCodes.
#ifndef APP_EXIT_CODES_H
#define APP_EXIT_CODES_H

namespace AppExitCodes {
const unsigned exitSuccess = 0;
const unsigned kExitBadArguments = 1;
// The user ended the wizard before every available update was installed.
const unsigned kExitUserCancelled = 2;
// The wizard's relaunch could not get administrator rights.
const unsigned kExitNoAdministratorRights = 4;
const unsigned kExitNoUIDriver = 5;
const unsigned exitWithRestartNeeded = 8;
const unsigned kExitInsufficientCredentials = 14;
const unsigned kExitUnhandledException = 9999;
}  // namespace AppExitCodes

#endif
