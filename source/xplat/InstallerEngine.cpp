#include "InstallerEngine.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>

#include "AppExitCodes.h"
#include "BundleScope.h"
#include "BundleVerifier.h"
#include "ErrorCodes.h"
#include "LocalizationUtilities.h"
#include "MOQLogger.h"
#include "NativeAlert.h"
#include "PayloadsManager.h"
#include "UIDriverCheck.h"
#include "UndoRecovery.h"
#include "UIDriverFactory.h"

namespace {

template <typename Iterator, typename Output>
void ArgumentsToArgumentKeyValuePairs(Iterator first, Iterator last, Output out) {
    for (; first != last; ++first) {
        const std::string& argument = *first;
        if (argument.compare(0, 2, "--") != 0) continue;
        const size_t equals = argument.find('=', 2);
        std::string key = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        std::string value = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
        *out++ = std::make_pair(key, value);
    }
}

// The localized message and button titles of the retry offer.
struct RetryTexts {
    std::string message;
    std::string retryTitle;
    std::string quitTitle;
};

// The manager's message in the dictionary's language; empty without a manager.
std::string ErrorTextFor(InstallerEngine& engine, const std::map<std::string, std::string>& dictionary) {
    PayloadsManager* manager = engine.GetPayloadsManager();
    return manager != nullptr ? manager->GetLocalizedErrorString(dictionary) : std::string();
}

// Without a string table the texts stay empty; the alert is still shown.
RetryTexts LoadRetryTexts(InstallerEngine& engine) {
    RetryTexts texts;
    std::map<std::string, std::string> dictionary;
    if (!LocalizationUtilities::GetDictionaryForLanguage(&engine, dictionary)) return texts;
    texts.message = ErrorTextFor(engine, dictionary);
    texts.quitTitle = dictionary["locQuit"];
    texts.retryTitle = dictionary["locRetry"];
    return texts;
}

// Whole seconds, 1 to a week; anything else is a mistake worth refusing, not a limit to guess.
bool ParseSetupTimeout(const std::string& text, unsigned& seconds) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 7ul * 24 * 3600) return false;
    seconds = static_cast<unsigned>(value);
    return true;
}

bool IsRetryable(uint32_t code) {
    return code == static_cast<uint32_t>(ErrorCodes::kNotEnoughDiskSpace) ||
           code == static_cast<uint32_t>(ErrorCodes::kConflictingProcessRunning) ||
           code == static_cast<uint32_t>(ErrorCodes::kAnotherInstanceRunning);
}

}  // namespace

InstallerEngine::InstallerEngine(const std::string& bundleFolder)
    : mPayloadsManager(nullptr),
      mBundleFolder(bundleFolder),
      mUIMode(kModeFullGUI),
      mCaller(kCallerOther),
      mExitCode(0) {}

InstallerEngine::~InstallerEngine() {
    // Also after a failed initialization, which leaves an instance behind.
    PayloadsManager::Release();
}

PayloadsManager* InstallerEngine::InitializePayloadsManager() {
    MOQ_LOG("Called InstallerEngine::InitializePayloadsManager\n");
    // Nothing of a bundle that failed its signature is classified.
    const BundleVerifier::Verdict* verdict = BundleVerifier::RunVerdict();
    if (verdict != nullptr && verdict->state == BundleVerifier::kInvalid) {
        MOQ_LOG("Returning from InstallerEngine::InitializePayloadsManager\n");
        return nullptr;
    }
    if (mPayloadsManager == nullptr && PayloadsManager::Initialize(mBundleFolder, PayloadProxyFileConstants::kProxyTypeFull)) {
        mPayloadsManager = PayloadsManager::Instance();
        mPayloadsManager->SetSetupTimeout(mSetupTimeoutSeconds);
    }
    MOQ_LOG("Returning from InstallerEngine::InitializePayloadsManager\n");
    return mPayloadsManager;
}

PayloadsManager* InstallerEngine::GetPayloadsManager() {
    return mPayloadsManager != nullptr ? mPayloadsManager : InitializePayloadsManager();
}

std::string InstallerEngine::LocalizedErrorText() {
    std::map<std::string, std::string> dictionary;
    if (!LocalizationUtilities::GetDictionaryForLanguage(this, dictionary)) return std::string();
    // No manager is made for a refused bundle: its text is the engine's own.
    if (mExitCode == static_cast<uint32_t>(ErrorCodes::kBundleSignatureInvalid)) {
        // The rule that refused it, where the string table has its words.
        const BundleVerifier::Verdict* verdict = BundleVerifier::RunVerdict();
        const char* id = verdict != nullptr ? BundleVerifier::RefusalStringId(verdict->rule) : nullptr;
        const auto words = id != nullptr ? dictionary.find(id) : dictionary.end();
        if (words != dictionary.end() && !words->second.empty()) return words->second;
        return dictionary["locBundleSignatureInvalid"];
    }
    return ErrorTextFor(*this, dictionary);
}

bool InstallerEngine::ProcessArgumentVector(const std::vector<std::string>& args) {
    MOQ_LOG("Called InstallerEngine::ProcessArgumentVector\n");
    ArgumentsToArgumentKeyValuePairs(args.begin(), args.end(), std::inserter(mArgumentMap, mArgumentMap.begin()));
    std::map<std::string, std::string>::const_iterator mode = mArgumentMap.find("mode");
    if (mode != mArgumentMap.end()) {
        const std::string& value = mode->second;
        if (value == "gui" || value == "GUI") {
            mUIMode = kModeFullGUI;
        } else if (value == "terminal" || value == "Terminal") {
            mUIMode = kModeTerminal;
        } else if (value == "silent" || value == "Silent") {
            mUIMode = kModeSilent;
            std::map<std::string, std::string>::const_iterator caller = mArgumentMap.find("callerID");
            if (caller != mArgumentMap.end() && caller->second == "ZEP6") mCaller = kCallerUpdateManager;
        } else if (value == "check" || value == "Check") {
            mUIMode = kModeCheck;
        } else {
            std::cerr << "Update: unknown mode \"" << value << "\": use --mode=gui, terminal, silent or check" << std::endl;
            MOQ_LOG("Returning from InstallerEngine::ProcessArgumentVector\n");
            return false;
        }
    }
    const auto timeout = mArgumentMap.find("setupTimeout");
    if (timeout != mArgumentMap.end() && !ParseSetupTimeout(timeout->second, mSetupTimeoutSeconds)) {
        MOQ_LOG("--setupTimeout wants a whole number of seconds, not \"%s\"\n", timeout->second.c_str());
        std::cerr << "Update: --setupTimeout wants whole seconds from 1 to 604800, not \"" << timeout->second << "\""
                  << std::endl;
        MOQ_LOG("Returning from InstallerEngine::ProcessArgumentVector\n");
        return false;
    }
    MOQ_LOG("Returning from InstallerEngine::ProcessArgumentVector\n");
    return true;
}

bool InstallerEngine::DisplayAlert(std::string message, std::string defaultButton, std::string alternateButton) {
    return NativeAlert::Display(message, defaultButton, alternateButton);
}

bool InstallerEngine::BundleAccepted() {
    // The wizard of an ordinary user only relaunches itself with rights: the copy
    // that gets them verifies, so that a large bundle is not read twice.
    if (mUIMode == kModeFullGUI && geteuid() != 0 &&
        std::find(mArguments.begin(), mArguments.end(), "-norespawn") == mArguments.end()) {
        return true;
    }
    BundleVerifier::RunOptions options;
    // Only a run that may go on to install remembers what it accepted; a check changes nothing.
    options.record = mUIMode != kModeCheck && geteuid() == 0;
    options.scope = BundleScope::FirstOutside;
    const BundleVerifier::Verdict& verdict = BundleVerifier::CheckRun(mBundleFolder.AsUTF8String(), options);
    MOQ_LOG("Bundle signature: %s%s%s%s%s\n", verdict.Name(), verdict.keyId.empty() ? "" : ", key ", verdict.keyId.c_str(),
            verdict.reason.empty() ? "" : " - ", verdict.reason.c_str());
    MOQ_LOG("%s\n", UIDriverCheck::TrustLine(verdict).c_str());
    if (verdict.state != BundleVerifier::kInvalid) return true;
    if (mUIMode == kModeCheck) {
        UIDriverCheck::PrintSignature(std::cout, verdict);
        UIDriverCheck::PrintResult(std::cout, ErrorCodes::kBundleSignatureInvalid);
    } else {
        std::cerr << "The bundle is refused: " << verdict.reason << std::endl;
    }
    return false;
}

void InstallerEngine::FinishEarlierLaunches() {
    // A check changes nothing; an ordinary user's wizard leaves it to its root copy.
    if (mUIMode != kModeCheck) UndoRecovery::FinishPending();
}

unsigned InstallerEngine::Main(const std::vector<std::string>& args) {
    MOQ_LOG("Called InstallerEngine::Main\n");
    std::cout << "Begin Kavex Update" << std::endl;
    std::unique_ptr<UIDriver> driver;
    try {
        mArguments = args;
        if (!ProcessArgumentVector(args)) {
            mExitCode = AppExitCodes::kExitBadArguments;
        } else {
            std::cout << "UI mode: ";
            switch (mUIMode) {
                case kModeFullGUI:
                    driver = UIDriverFactory::Create(mUIMode, *this);
                    std::cout << "Full GUI";
                    MOQ_LOG("Patcher running in Full GUI Mode\n");
                    break;
                case kModeTerminal:
                    std::cout << "Terminal";
                    MOQ_LOG("Patcher running in Terminal Mode\n");
                    break;
                case kModeSilent:
                    driver = UIDriverFactory::Create(mUIMode, *this);
                    std::cout << "Silent";
                    MOQ_LOG("Patcher running in Silent Mode\n");
                    break;
                case kModeCheck:
                    driver = UIDriverFactory::Create(mUIMode, *this);
                    std::cout << "Check";
                    MOQ_LOG("Patcher running in Check Mode\n");
                    break;
            }
            std::cout << "\n";
            if (!driver) {
                mExitCode = AppExitCodes::kExitNoUIDriver;
            } else if (!driver->HasSufficientCredentials()) {
                std::cerr << "Update: a silent run installs as root: run it as root (sudo); --mode=check needs no root"
                          << std::endl;
                mExitCode = AppExitCodes::kExitInsufficientCredentials;
            } else {
                FinishEarlierLaunches();
                if (!BundleAccepted()) {
                    mExitCode = ErrorCodes::kBundleSignatureInvalid;
                    // No page follows: a user who started the wizard sees why, not a window that never came.
                    if (mUIMode == kModeFullGUI) {
                        const BundleVerifier::Verdict* verdict = BundleVerifier::RunVerdict();
                        const char* id = verdict != nullptr ? BundleVerifier::RefusalStringId(verdict->rule) : nullptr;
                        NativeAlert::ShowRefusal(*this, ErrorCodes::kBundleSignatureInvalid, id != nullptr ? id : "",
                                                 verdict != nullptr ? verdict->reason : std::string());
                    }
                } else {
                    for (;;) {
                        mExitCode = AppExitCodes::exitSuccess;
                        if (!driver->Run()) mExitCode = static_cast<uint32_t>(driver->GetErrorCode());
                        if (mCaller != kCallerUpdateManager || mUIMode != kModeSilent) break;
                        const RetryTexts texts = LoadRetryTexts(*this);
                        if (!IsRetryable(mExitCode)) break;
                        if (DisplayAlert(texts.message, texts.retryTitle, texts.quitTitle)) break;
                    }
                }
            }
        }
    } catch (...) {
        mExitCode = AppExitCodes::kExitUnhandledException;
    }
    driver.reset();
    MOQ_LOG("Returning from InstallerEngine::Main\n");
    std::cout << "End Kavex Update.  Exit code: " << mExitCode << std::endl;
    return mExitCode;
}
