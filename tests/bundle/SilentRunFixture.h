// The built program beside a patch bundle and a sandbox machine, run as the update manager runs it.
#ifndef SILENT_RUN_FIXTURE_H
#define SILENT_RUN_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "PatchFixtures.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"

static const char* const kStrings =
    "<Localization>"
    "<String stringID=\"locQuit\"><en_US>Quit</en_US></String>"
    "<String stringID=\"locRetry\"><en_US>Retry</en_US></String>"
    "<String stringID=\"locHigherPatchError\"><en_US>A newer patch is already installed.</en_US></String>"
    "<String stringID=\"locBasePayloadError\"><en_US>Install [productName]first.</en_US></String>"
    "<String stringID=\"locFailedToInstall\"><en_US> could not be installed.</en_US></String>"
    "<String stringID=\"locConflictingProcessErrorBodySing\"><en_US>Quit this application:</en_US></String>"
    "<String stringID=\"locConflictingProcessErrorBody\"><en_US>Quit these applications:</en_US></String>"
    "<String stringID=\"locnotEnoughDiskSpaceBody\"><en_US>[spaceReq] MB needed on [volume].</en_US></String>"
    "</Localization>";

// The built program beside a patch bundle, run as the update manager runs it.
class SilentRun : public ::testing::Test {
protected:
    void SetUp() override {
        InstalledBase(store, machine, base, {"{S1}", "{S2}"}, box / "machine/Applications/Suite", "record-installed=1\n");
        store.Save();
        bundle.Strings(kStrings);
        program = bundle.InstallProgram();
    }
    std::vector<std::string> Environment() const {
        return {"KAVEX_SYSTEM_ROOT=" + machine, "KAVEX_UPDATER_CLIENT=/Applications/Updater.app",
                "KAVEX_UPDATER_RESULTS=" + results, "DISPLAY=", "WAYLAND_DISPLAY=", "LANGUAGE=en"};
    }
    ChildResult Run(bool asNobody = false) {
        store.Save();
        return TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment(), asNobody);
    }
    std::string Results() const { return TestFiles::Read(results); }
    std::string SetupFolder(const std::string& session) const {
        return machine + "/Library/Application Support/Kavex/Installers/" + session;
    }
    TestSandbox box;
    std::string machine = box / "machine";
    std::string results = box / "results.txt";
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
    ProxyFields base = Patch("{BASE}", "Suite", "1.0", "");
    std::string program;
};

#endif
