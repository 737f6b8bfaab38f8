#include "SessionReport.h"

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <iostream>
#include <nlohmann/json.hpp>

#include "AtomicFileWriter.h"
#include "BundleProblems.h"
#include "BundleVerifier.h"
#include "Elevation.h"
#include "ErrorCodes.h"
#include "ExitCodeMeaning.h"
#include "InstallerEngine.h"
#include "MOQLogger.h"
#include "MachineEntry.h"
#include "MacUtils.h"
#include "MainSetupCommand.h"
#include "PayloadsManager.h"
#include "PreInstallSurvey.h"
#include "UndoRecovery.h"

using json = nlohmann::ordered_json;

namespace {

const char* const kProgramVersion = KAVEX_VERSION;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string Timestamp(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    char full[80];
    snprintf(full, sizeof(full), "%s.%03dZ", text, static_cast<int>(ms % 1000));
    return full;
}

// A rejected mode leaves the engine at its default: the spelling tells.
bool ModeAccepted(const std::map<std::string, std::string>& arguments) {
    const auto mode = arguments.find("mode");
    if (mode == arguments.end()) return true;
    for (const char* name : {"gui", "GUI", "terminal", "Terminal", "silent", "Silent", "check", "Check"}) {
        if (mode->second == name) return true;
    }
    return false;
}

json ModeName(const InstallerEngine& engine) {
    if (!ModeAccepted(engine.mArgumentMap)) return nullptr;
    switch (engine.mUIMode) {
        case InstallerEngine::kModeFullGUI: return "gui";
        case InstallerEngine::kModeTerminal: return "terminal";
        case InstallerEngine::kModeSilent: return "silent";
        case InstallerEngine::kModeCheck: return "check";
    }
    return nullptr;
}

// How far the run got with a patch, per installation of its base product, as the wizard's
// finish page says it; null when the run planned nothing for it (or only checked).
json Installation(const std::vector<PatchOutcome>& outcomes, const std::string& code) {
    for (const PatchOutcome& outcome : outcomes) {
        if (outcome.code != code) continue;
        const char* state = outcome.State();
        return {{"state", state}, {"installed", outcome.installed}, {"failed", outcome.failed}, {"notStarted", outcome.notStarted}};
    }
    return nullptr;
}

json Patches(const PayloadsManager& manager, bool launched) {
    json patches = json::array();
    const std::vector<PatchOutcome> outcomes = launched ? manager.Outcomes() : std::vector<PatchOutcome>();
    for (const PayloadVerdict& verdict : manager.Verdicts()) {
        const bool hidden = manager.IsHidden(verdict.code);
        patches.push_back({{"code", verdict.code},
                           {"productName", verdict.productName},
                           {"productVersion", verdict.productVersion},
                           {"parentCode", verdict.parentCode},
                           {"parentName", verdict.parentName},
                           {"proxy", verdict.proxyPath},
                           {"result", verdict.result},
                           {"kept", verdict.kept},
                           {"hidden", hidden},
                           {"verdict", verdict.Name()},
                           {"reason", verdict.Reason()},
                           {"installation", verdict.kept ? Installation(outcomes, verdict.code) : json(nullptr)}});
    }
    return patches;
}

const char* LockState(const NamedLockProbe& lock) {
    if (lock.state == NamedLockProbe::kBusy) return lock.holderPid == getpid() ? "heldByThisRun" : "busy";
    return lock.state == NamedLockProbe::kFree ? "free" : "unknown";
}

json Checks(const PreInstallSurvey& survey, bool duringRun) {
    json locks = json::array(), applications = json::array(), volumes = json::array();
    for (const NamedLockProbe& lock : survey.locks) {
        json holder = nullptr;
        if (lock.holderPid > 0) holder = {{"pid", lock.holderPid}, {"name", lock.holderName}};
        locks.push_back({{"name", lock.name}, {"state", LockState(lock)}, {"holder", holder}});
    }
    for (const PreInstallSurvey::Application& application : survey.applications) {
        applications.push_back({{"name", application.name}, {"blocking", application.blocking}, {"pids", application.pids}});
    }
    for (const PreInstallSurvey::Volume& volume : survey.volumes) {
        volumes.push_back({{"root", volume.root},
                           {"name", volume.name},
                           {"plannedBytes", volume.plannedBytes},
                           {"neededBytes", volume.neededBytes},
                           {"freeBytes", volume.measured ? json(volume.freeBytes) : json(nullptr)},
                           {"enough", volume.enough}});
    }
    return {{"takenAt", Timestamp(survey.takenMs)},
            {"when", duringRun ? "beforeLaunches" : "atReport"},
            {"locks", locks}, {"applications", applications}, {"volumes", volumes}};
}

json Plan(const PayloadsManager& manager) {
    json plan = json::array();
    // The run has ended: no pass writes the plan any more.
    for (const PlanEntry& entry : manager.Plan()) {
        const std::vector<std::string> arguments =
            MainSetupCommand::Arguments(entry.code, entry.sessionID, entry.setupFolder, entry.extensionsFolder);
        plan.push_back({{"code", entry.code},
                        {"displayName", entry.displayName},
                        {"sessionID", entry.sessionID},
                        {"setupPath", arguments.front()},
                        {"workingFolder", entry.setupFolder.AsUTF8String()},
                        {"arguments", json(std::vector<std::string>(arguments.begin() + 1, arguments.end()))},
                        {"sizeBytes", entry.size}});
    }
    return plan;
}

json Launches(const PayloadsManager& manager) {
    json launches = json::array();
    for (const LaunchRecord& launch : manager.Launches()) {
        launches.push_back({{"code", launch.code},
                            {"sessionID", launch.sessionID},
                            {"setupPath", launch.arguments.empty() ? std::string() : launch.arguments.front()},
                            {"workingFolder", launch.workingFolder},
                            {"arguments", launch.arguments.empty() ? json::array()
                                                                   : json(std::vector<std::string>(launch.arguments.begin() + 1,
                                                                                                   launch.arguments.end()))},
                            {"started", Timestamp(launch.startedMs)},
                            {"durationMs", launch.durationMs},
                            {"launched", launch.launched},
                            {"notLaunchedReason", launch.launched ? json(nullptr) : json(launch.notLaunchedReason)},
                            {"exitStatus", launch.exitStatus >= 0 ? json(launch.exitStatus) : json(nullptr)},
                            {"signal", launch.signal > 0 ? json(launch.signal) : json(nullptr)},
                            {"result", launch.result},
                            {"rolledBack", launch.rolledBack},
                            {"undoPending", launch.undoPending},
                            {"timedOut", launch.timedOut}});
    }
    return launches;
}

// Null when the run ended before the bundle was looked at.
json Signature(const BundleVerifier::Verdict* verdict) {
    json bundle = {{"signature", nullptr}, {"keyId", nullptr}, {"reason", nullptr}, {"rule", nullptr},
                   {"format", nullptr}, {"series", nullptr}, {"version", nullptr}, {"issued", nullptr},
                   {"expires", nullptr}, {"products", nullptr}, {"signers", json::array()}, {"threshold", nullptr}};
    if (verdict == nullptr) return bundle;
    bundle["signature"] = verdict->Name();
    bundle["keyId"] = verdict->keyId.empty() ? json(nullptr) : json(verdict->keyId);
    bundle["reason"] = verdict->reason.empty() ? json(nullptr) : json(verdict->reason);
    bundle["rule"] = verdict->rule;
    bundle["signers"] = verdict->signers;
    if (verdict->state != BundleVerifier::kUnsigned) {
        bundle["threshold"] = {{"required", verdict->threshold}, {"met", verdict->thresholdMet}};
    }
    if (!verdict->manifestRead) return bundle;
    const BundleManifest::Release& release = verdict->release;
    bundle["format"] = release.format;
    bundle["version"] = release.version;
    if (release.format == 2) {
        bundle["series"] = release.series;
        bundle["issued"] = BundleManifest::TimeText(release.issued);
        bundle["expires"] = BundleManifest::TimeText(release.expires);
        bundle["products"] = release.products;
    }
    return bundle;
}

json Problems(const FileSystemPath& root) {
    json problems = json::array();
    for (const BundleProblems::Problem& problem : BundleProblems::Find(root)) {
        problems.push_back({{"kind", problem.kind},
                            {"file", problem.file},
                            {"line", problem.line > 0 ? json(problem.line) : json(nullptr)},
                            {"detail", problem.detail}});
    }
    return problems;
}

}  // namespace

SessionReport::SessionReport() : mStartedMs(NowMs()) {}

std::string SessionReport::Document(InstallerEngine& engine, unsigned code, const std::string& message) {
    PayloadsManager* manager = engine.mPayloadsManager;
    const auto mode = engine.mArgumentMap.find("mode");
    json report;
    report["schemaVersion"] = kSchemaVersion;
    report["program"] = {{"name", "Update"}, {"version", kProgramVersion}, {"pid", static_cast<int>(getpid())}};
    report["mode"] = ModeName(engine);
    report["modeArgument"] = mode != engine.mArgumentMap.end() ? json(mode->second) : json(nullptr);
    report["caller"] = engine.mCaller == InstallerEngine::kCallerUpdateManager ? "updateManager" : "other";
    report["started"] = Timestamp(mStartedMs);
    report["ended"] = Timestamp(NowMs());
    report["machineRoot"] = MacUtils::SystemRoot();
    json earlier = json::array();
    for (const UndoRecovery::Finished& done : UndoRecovery::Done()) {
        earlier.push_back({{"code", done.code}, {"sessionID", done.sessionID}, {"outcome", done.outcome}});
    }
    report["earlierLaunches"] = earlier;
    report["bundleFolder"] = engine.mBundleFolder.AsUTF8String();
    const std::optional<std::string> stagedFrom = MachineEntry::StagedFrom(engine.mBundleFolder.AsUTF8String());
    report["stagedFrom"] = stagedFrom ? json(*stagedFrom) : json();
    report["bundle"] = Signature(BundleVerifier::RunVerdict());
    report["exit"] = {{"code", code}, {"meaning", ExitCodeMeaning::Text(code)}, {"message", message}};
    report["patches"] = manager != nullptr ? Patches(*manager, engine.mUIMode != InstallerEngine::kModeCheck) : json::array();
    std::shared_ptr<PreInstallSurvey> survey = manager != nullptr ? manager->Survey() : nullptr;
    const bool duringRun = survey != nullptr;
    // A mode that takes no survey of its own (the silent run, the wizard) gets one now.
    if (survey == nullptr && manager != nullptr) survey = PreInstallSurvey::Take(*manager);
    report["checks"] = survey != nullptr ? Checks(*survey, duringRun) : json(nullptr);
    report["plan"] = manager != nullptr ? Plan(*manager) : json::array();
    report["launches"] = manager != nullptr ? Launches(*manager) : json::array();
    report["bundleProblems"] = Problems(engine.mBundleFolder);
    mLog.Locate(kMOQLogFilePath, static_cast<int>(getpid()));
    report["log"] = {{"path", mLog.path},
                     {"pid", static_cast<int>(getpid())},
                     {"firstLine", mLog.known ? json(mLog.firstLine) : json(nullptr)},
                     {"lastLine", mLog.known ? json(mLog.lastLine) : json(nullptr)}};
    // Names from files and the stores need not be valid UTF-8.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool SessionReport::Finish(InstallerEngine& engine, unsigned code, const std::string& message) {
    const auto asked = engine.mArgumentMap.find("report");
    if (asked == engine.mArgumentMap.end()) return true;
    std::string why = "names no file";
    try {
        // Root on a user's behalf writes where the user asked only with that user's rights.
        const Elevation::Origin origin = Elevation::CurrentOrigin();
        if (!asked->second.empty()) {
            const std::string document = Document(engine, code, message);
            const bool written = origin.via == Elevation::Via::kNone
                                     ? AtomicFileWriter::Write(asked->second, document, why)
                                     : AtomicFileWriter::WriteAsUser(asked->second, document, origin.uid, origin.gid, why);
            if (written) return true;
        }
    } catch (const std::exception& error) {
        why = std::string("cannot be made: ") + error.what();
    }
    MOQ_LOG("The report %s is not written: it %s\n", asked->second.c_str(), why.c_str());
    std::cerr << "The report " << asked->second << " is not written: it " << why << std::endl;
    return false;
}
