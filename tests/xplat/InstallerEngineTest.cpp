#include <gtest/gtest.h>

#include <stdexcept>

#include "AppExitCodes.h"
#include "ErrorCodes.h"
#include "NativeAlert.h"
#include "InstallerEngine.h"
#include "UIDriverFactory.h"

namespace {

struct Parsed {
    bool accepted;
    InstallerEngine::UIMode mode;
    InstallerEngine::CallerKind caller;
    std::map<std::string, std::string> map;
};

Parsed Parse(const std::vector<std::string>& args) {
    InstallerEngine engine("/tmp");
    Parsed p;
    p.accepted = engine.ProcessArgumentVector(args);
    p.mode = engine.mUIMode;
    p.caller = engine.mCaller;
    p.map = engine.mArgumentMap;
    return p;
}

TEST(ArgumentGrammar, KeysValuesAndFirstOccurrenceWins) {
    Parsed p = Parse({"/x/Update", "-norespawn", "-mode=terminal", "--", "--flag", "--k=", "--mode=silent=x",
                      "--mode=gui", "--a=b=c"});
    std::map<std::string, std::string> expected = {{"", ""}, {"flag", ""}, {"k", ""}, {"mode", "silent=x"}, {"a", "b=c"}};
    EXPECT_EQ(expected, p.map);
    EXPECT_FALSE(p.accepted);  // "silent=x" is no mode
}

TEST(ArgumentGrammar, ModeSpellingsAndCaller) {
    struct Case {
        std::vector<std::string> args;
        bool accepted;
        InstallerEngine::UIMode mode;
        InstallerEngine::CallerKind caller;
    } cases[] = {
        {{"p"}, true, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=gui"}, true, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=GUI"}, true, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=Terminal"}, true, InstallerEngine::kModeTerminal, InstallerEngine::kCallerOther},
        {{"p", "--mode=Silent", "--callerID=ZEP6"}, true, InstallerEngine::kModeSilent, InstallerEngine::kCallerUpdateManager},
        {{"p", "--mode=silent", "--callerID=zep6"}, true, InstallerEngine::kModeSilent, InstallerEngine::kCallerOther},
        {{"p", "--mode=silent", "--callerID="}, true, InstallerEngine::kModeSilent, InstallerEngine::kCallerOther},
        {{"p", "--callerID=ZEP6"}, true, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=silent", "--mode=gui"}, true, InstallerEngine::kModeSilent, InstallerEngine::kCallerOther},
        {{"p", "-mode=silent"}, true, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=SILENT"}, false, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode=check", "--callerID=ZEP6"}, true, InstallerEngine::kModeCheck, InstallerEngine::kCallerOther},
        {{"p", "--mode=Check"}, true, InstallerEngine::kModeCheck, InstallerEngine::kCallerOther},
        {{"p", "--mode=CHECK"}, false, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode"}, false, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
        {{"p", "--mode="}, false, InstallerEngine::kModeFullGUI, InstallerEngine::kCallerOther},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.args);
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        EXPECT_EQ(c.accepted, p.accepted) << joined;
        EXPECT_EQ(c.mode, p.mode) << joined;
        EXPECT_EQ(c.caller, p.caller) << joined;
    }
}

// A driver whose passes return scripted error codes.
class ScriptedDriver : public UIDriver {
public:
    ScriptedDriver(InstallerEngine& engine, std::vector<int> codes, bool credentials, int* runs)
        : UIDriver(engine), mCodes(codes), mCredentials(credentials), mRuns(runs) {}
    bool HasSufficientCredentials() override { return mCredentials; }
    bool Run() override {
        int code = mCodes.at(static_cast<size_t>((*mRuns)++));
        if (code < 0) throw std::logic_error("driver failure");
        mErrorCode = code;
        return code == 0;
    }

private:
    std::vector<int> mCodes;
    bool mCredentials;
    int* mRuns;
};

class EngineMainTest : public ::testing::Test {
protected:
    void TearDown() override {
        UIDriverFactory::SetFactoryForTesting(UIDriverFactory::Factory());
        NativeAlert::SetPresenter(NativeAlert::Presenter());
    }
    void UseDriver(std::vector<int> codes, bool credentials = true) {
        UIDriverFactory::SetFactoryForTesting([=](InstallerEngine::UIMode, InstallerEngine& engine) {
            return std::unique_ptr<UIDriver>(new ScriptedDriver(engine, codes, credentials, &runs));
        });
    }
    // Answers the retry offer with the given choices in turn (true = Quit).
    void AnswerAlerts(std::vector<bool> quit) {
        NativeAlert::SetPresenter([=](const std::string&, const std::string&, const std::string&) {
            return quit.at(static_cast<size_t>(alerts++));
        });
    }
    unsigned RunMain(const std::vector<std::string>& args) {
        InstallerEngine engine("/tmp");
        testing::internal::CaptureStdout();
        unsigned code = engine.Main(args);
        output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, engine.mExitCode);
        return code;
    }
    int runs = 0;
    int alerts = 0;
    std::string output;
};

TEST_F(EngineMainTest, StandardOutputLinesAndModesWithoutDriver) {
    EXPECT_EQ(5u, RunMain({"p", "--mode=terminal"}));
    EXPECT_EQ("Begin Kavex Update\nUI mode: Terminal\nEnd Kavex Update.  Exit code: 5\n", output);
    EXPECT_EQ(1u, RunMain({"p", "--mode=SILENT"}));
    EXPECT_EQ("Begin Kavex Update\nEnd Kavex Update.  Exit code: 1\n", output);
}

TEST_F(EngineMainTest, CredentialsAndDriverResults) {
    UseDriver({0}, false);
    EXPECT_EQ(14u, RunMain({"p", "--mode=silent"}));
    EXPECT_EQ(0, runs);
    UseDriver({29});
    runs = 0;
    EXPECT_EQ(29u, RunMain({"p", "--mode=silent"}));
    UseDriver({0});
    runs = 0;
    EXPECT_EQ(0u, RunMain({"p", "--mode=gui"}));
}

TEST_F(EngineMainTest, ExceptionInsideTheRunEndsWith9999) {
    UseDriver({-1});
    EXPECT_EQ(9999u, RunMain({"p", "--mode=silent"}));
    EXPECT_NE(std::string::npos, output.find("End Kavex Update.  Exit code: 9999\n"));
}

TEST_F(EngineMainTest, RetryOfferOnlyForUpdateManagerAndRetryableCodes) {
    UseDriver({30, 34, 25, 0});
    AnswerAlerts({false, false, false});
    EXPECT_EQ(0u, RunMain({"p", "--mode=silent", "--callerID=ZEP6"}));
    EXPECT_EQ(4, runs);
    EXPECT_EQ(3, alerts);

    runs = alerts = 0;
    UseDriver({25, 30});
    AnswerAlerts({false, true});
    EXPECT_EQ(30u, RunMain({"p", "--mode=silent", "--callerID=ZEP6"}));
    EXPECT_EQ(2, runs);
    EXPECT_EQ(2, alerts);

    runs = alerts = 0;
    UseDriver({26});
    AnswerAlerts({});
    EXPECT_EQ(26u, RunMain({"p", "--mode=silent", "--callerID=ZEP6"}));
    EXPECT_EQ(0, alerts);

    runs = alerts = 0;
    UseDriver({30});
    EXPECT_EQ(30u, RunMain({"p", "--mode=silent"}));  // any other caller: no offer
    EXPECT_EQ(0, alerts);
}

}  // namespace
