#include "ExitCodeMeaning.h"

namespace ExitCodeMeaning {

std::string Text(long long code) {
    switch (code) {
        case 0: return "Success";
        case 1: return "Bad command line";
        case 5: return "The selected mode has no UI driver";
        case 8: return "Installed; the machine must be restarted";
        case 12: return "A main setup could not be launched, or the store could not be opened while planning";
        case 14: return "Insufficient credentials";
        case 25: return "Not enough disk space";
        case 26: return "A higher patch is already installed";
        case 27: return "The base product is not installed";
        case 28: return "An installation was rolled back";
        case 29: return "The patch is already installed";
        case 30: return "A conflicting application is running";
        case 31: return "The installed-products store could not be opened";
        case 32: return "An installation was rolled back";
        case 34: return "Another installer of the family is running";
        case 2147483647: return "Unknown error";
        case 9999: return "Unexpected exception";
        default: return "Unknown code";
    }
}

}  // namespace ExitCodeMeaning
