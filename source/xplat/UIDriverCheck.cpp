#include "UIDriverCheck.h"

#include <iostream>
#include <sstream>
#include <map>
#include <set>

#include "ErrorCodes.h"
#include "ExitCodeMeaning.h"
#include "InstallerEngine.h"
#include "MOQLogger.h"
#include "MainSetupCommand.h"
#include "MoxaReadOnly.h"
#include "PayloadsManager.h"
#include "PreInstallSurvey.h"
#include "PrintableText.h"
#include "SetupRunLock.h"

namespace {

std::string LockLine(const NamedLockProbe& lock) {
    std::string line = "Lock " + lock.name + ": ";
    switch (lock.state) {
        case NamedLockProbe::kFree: return line + "free";
        case NamedLockProbe::kUnknown: return line + "cannot be told without superuser rights";
        case NamedLockProbe::kBusy: break;
    }
    line += "busy";
    if (lock.holderPid > 0) line += ", held by pid " + std::to_string(lock.holderPid) + " (" + lock.holderName + ")";
    return line;
}

bool AnySetupStillRunning(const PayloadsManager& manager) {
    std::set<std::string> folders;
    for (const PlanEntry& entry : manager.Plan()) folders.insert(entry.setupFolder.AsUTF8String());
    for (const std::string& folder : folders) {
        if (SetupRunLock::IsHeld(folder)) return true;
    }
    return false;
}

}  // namespace

bool UIDriverCheck::Run() {
    // Before the first store session opens: nothing of this run may write to them.
    moxaSetReadOnly(true);
    if (BundleVerifier::RunVerdict() != nullptr) PrintSignature(std::cout, *BundleVerifier::RunVerdict());
    PayloadsManager* manager = mEngine.GetPayloadsManager();
    if (manager == nullptr) {
        mErrorCode = PayloadsManager::InitializationFailureCode();
        std::cout << "The patches cannot be classified\n";
        PrintResult(std::cout, mErrorCode);
        return false;
    }
    manager->RequirePreparation();
    std::map<std::string, std::string> updates;
    manager->GetUpdatesList(updates);
    const int classification = PayloadsManager::GetErrorCode();
    // Plans and measures the volumes; copies and launches nothing.
    if (!(classification != 0 && updates.empty())) manager->InstallPayload(&mEngine, true, true);
    manager->SetSurvey(PreInstallSurvey::Take(*manager));
    mErrorCode = Outcome(*manager, updates.empty(), classification);
    PrintSummary(*manager, mErrorCode);
    MOQ_LOG("The check ends with %d\n", mErrorCode);
    return mErrorCode == 0;
}

int UIDriverCheck::Outcome(PayloadsManager& manager, bool updatesEmpty, int classification) {
    // In the order the silent run meets them.
    if (manager.Survey()->AnyLockBusy()) return ErrorCodes::kAnotherInstanceRunning;
    if (classification != 0 && updatesEmpty) return classification;
    if (manager.Survey()->AnyBlockingApplication()) return ErrorCodes::kConflictingProcessRunning;
    const int planned = PayloadsManager::GetErrorCode();
    if (planned == ErrorCodes::kNotEnoughDiskSpace || updatesEmpty) return planned;
    if (planned == ErrorCodes::kMOXADBError) return planned;
    if (AnySetupStillRunning(manager)) return ErrorCodes::kAnotherInstanceRunning;
    // Every launch succeeding, what is left is what could not be planned or was already there.
    std::map<std::string, std::string> failed;
    if (manager.GetFailedPayloads(failed) && !failed.empty()) return ErrorCodes::kRollBack;
    if (!manager.AlreadyInstalledCodes().empty() && manager.Plan().empty()) return ErrorCodes::kAlreadyInstalled;
    return 0;
}

void UIDriverCheck::PrintSummary(PayloadsManager& manager, int code) const {
    // Each line escaped as a whole: a name from a bundle, a store or a process cannot forge a line.
    std::ostringstream line;
    auto emit = [&line] {
        std::cout << PrintableText::Escape(line.str()) << "\n";
        line.str(std::string());
    };
    for (const PayloadVerdict& verdict : manager.Verdicts()) {
        const bool hidden = manager.IsHidden(verdict.code);
        line << "Patch " << verdict.code << " " << verdict.productName << " " << verdict.productVersion << ": "
             << verdict.Words() << (hidden ? " (hidden)" : "") << " - " << verdict.Reason();
        emit();
    }
    const PreInstallSurvey& survey = *manager.Survey();
    for (const NamedLockProbe& lock : survey.locks) {
        line << LockLine(lock);
        emit();
    }
    if (survey.applications.empty()) {
        line << "Conflicting applications: none running";
        emit();
    }
    for (const PreInstallSurvey::Application& application : survey.applications) {
        line << "Application " << application.name << ": " << (application.blocking ? "blocking" : "warning") << ", pid";
        for (int pid : application.pids) line << " " << pid;
        emit();
    }
    for (const PreInstallSurvey::Volume& volume : survey.volumes) {
        line << "Disk " << volume.root << " (" << volume.name << "): " << volume.neededBytes << " bytes needed, ";
        if (volume.measured) {
            line << volume.freeBytes << " free" << (volume.enough ? "" : ", not enough");
        } else {
            line << "free space unknown";
        }
        emit();
    }
    // Where the store records a patch already, a run launches nothing: the check says so.
    for (const HeldEntry& held : manager.HeldEntries()) {
        line << "Installed already: " << held.code << " " << held.displayName << " in session " << held.sessionID;
        if (!held.installFolder.empty()) line << ", " << held.installFolder;
        line << " (the store records it there; not launched again)";
        emit();
    }
    const std::vector<PlanEntry> plan = manager.Plan();
    if (plan.empty()) {
        line << "Launches: none";
        emit();
    }
    for (const PlanEntry& entry : plan) {
        line << "Launch " << entry.code << " in session " << entry.sessionID << ", working folder "
             << entry.setupFolder.AsUTF8String() << ":";
        for (const std::string& argument :
             MainSetupCommand::Arguments(entry.code, entry.sessionID, entry.setupFolder, entry.extensionsFolder)) {
            line << " " << argument;
        }
        emit();
    }
    std::map<std::string, std::string> failures;
    manager.GetFailedPayloads(failures);
    for (const auto& failed : failures) {
        line << "Not planned: " << failed.first << " " << failed.second << " (no installation of its base product can take it)";
        emit();
    }
    line << "Check result: " << code << " (" << ExitCodeMeaning::Text(code) << ")";
    emit();
}

void UIDriverCheck::PrintSignature(std::ostream& out, const BundleVerifier::Verdict& verdict) {
    // The reason may name a file of the bundle: escaped like every other name.
    std::ostringstream line;
    line << "Bundle signature: " << verdict.Name();
    if (!verdict.keyId.empty()) line << ", key " << verdict.keyId;
    if (!verdict.reason.empty()) line << " - " << verdict.reason;
    out << PrintableText::Escape(line.str()) << "\n" << PrintableText::Escape(TrustLine(verdict)) << "\n";
}

std::string UIDriverCheck::TrustLine(const BundleVerifier::Verdict& verdict) {
    std::ostringstream line;
    line << "Bundle trust: rule " << verdict.rule;
    if (verdict.manifestRead) {
        const BundleManifest::Release& release = verdict.release;
        if (release.format == 1) {
            line << "; format 1 (no series, version, expiry or scope)";
        } else {
            line << "; series " << release.series << ", version " << release.version << ", issued "
                 << BundleManifest::TimeText(release.issued) << ", expires " << BundleManifest::TimeText(release.expires)
                 << ", products ";
            for (size_t i = 0; i < release.products.size(); ++i) line << (i == 0 ? "" : ",") << release.products[i];
            if (release.products.empty()) line << "none";
        }
    }
    if (!verdict.signers.empty()) {
        line << "; signers";
        for (size_t i = 0; i < verdict.signers.size(); ++i) line << (i == 0 ? " " : ", ") << verdict.signers[i];
        line << " (threshold " << verdict.threshold << (verdict.thresholdMet ? " met)" : " not met)");
    }
    return line.str();
}

void UIDriverCheck::PrintResult(std::ostream& out, int code) {
    out << "Check result: " << code << " (" << ExitCodeMeaning::Text(code) << ")\n";
}
