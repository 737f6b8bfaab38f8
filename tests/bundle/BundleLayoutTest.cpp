// The bundle as it is handed out: installed anywhere, with or without its wizard.
#include <unistd.h>

#include "SilentRunFixture.h"

namespace {

std::string BuildFolder() {
    const std::string built = UPDATE_EXECUTABLE;  // <build>/Update.app/Contents/MacOS/Update
    return built.substr(0, built.find("/Update.app/"));
}

TEST_F(SilentRun, AnInstalledBundleRunsFromAnyFolderAndSilentlyWithoutItsWizard) {
    PatchBundle moved(box / "Mises à jour d'été");
    ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    patch.processes = {{"KvxNothing[0-9]+", "1"}};
    moved.AddPatch(patch, "Update").Strings(kStrings);
    ChildResult installed = TestProcess::Run({CMAKE_COMMAND, "--install", BuildFolder(), "--prefix", moved.Root()});
    ASSERT_EQ(0, installed.status) << installed.output;
    const std::string app = moved.Root() + "/Update.app";
    const std::string program = app + "/Contents/MacOS/Update";

    // Its own libraries, found beside it; none of the window system's, nor the pattern engine's.
    ChildResult libraries = TestProcess::Run({"/usr/bin/ldd", program});
    EXPECT_NE(std::string::npos, libraries.output.find(app + "/Contents/MacOS/../Frameworks/libUpdateCore.so")) << libraries.output;
    for (const char* unused : {"libgtk", "libgdk", "libwebkit", "libjavascriptcore", "libboost_regex", "libicui18n", "libglib"}) {
        EXPECT_EQ(std::string::npos, libraries.output.find(unused)) << unused;
    }

    // The update manager's run needs nothing of the wizard's module; without the pattern
    // module the conflicting names are matched as written, and the log says why.
    ASSERT_EQ(0, unlink((app + "/Contents/PlugIns/UpdateWizard.so").c_str()));
    ASSERT_EQ(0, unlink((app + "/Contents/PlugIns/ConflictPatterns.so").c_str()));
    store.Save();
    const std::string logBefore = TestFiles::Read("/tmp/moq.log");
    ChildResult silent = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(0, silent.status) << silent.output;
    EXPECT_EQ("result=0\n", Results());
    EXPECT_EQ(1u, TestFiles::Lines(TestFiles::Read(SetupFolder("{S1}") + "/invocations.log")).size());
    EXPECT_NE(std::string::npos, TestFiles::Since("/tmp/moq.log", logBefore)
                                     .find("Conflicting process names are matched as written: the pattern module " + app +
                                           "/Contents/PlugIns/ConflictPatterns.so cannot be loaded ("));

    // The wizard without its module: a clear line, and the code of a mode without a driver.
    std::vector<std::string> environment = Environment();
    environment.push_back("DISPLAY=:97");
    ChildResult wizard = TestProcess::Run({program, "--mode=gui"}, environment);
    EXPECT_EQ(5, wizard.status) << wizard.output;
    EXPECT_NE(std::string::npos, wizard.output.find("The wizard cannot be shown: its module " + app +
                                                    "/Contents/PlugIns/UpdateWizard.so cannot be loaded"))
        << wizard.output;
}

}  // namespace
