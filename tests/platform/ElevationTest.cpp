// The rules at the trust boundary: which folders root may be redirected to, which language
// codes cross, and what an elevated start keeps of its arguments and environment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Elevation.h"
#include "MOQLogger.h"
#include "TestSandbox.h"

extern char** environ;

namespace {

// The process environment as it was, back after the test: the calls under test change it.
class TrustBoundary : public ::testing::Test {
protected:
    void SetUp() override {
        for (char** entry = environ; *entry != nullptr; ++entry) mSaved.emplace_back(*entry);
        MOQ_Logger_StartAt(Log().c_str(), false);
    }
    void TearDown() override {
        MOQ_Logger_End();
        clearenv();
        for (const std::string& entry : mSaved) {
            const size_t eq = entry.find('=');
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
    std::string Log() const { return box / "moq.log"; }
    bool Logged(const std::string& text) const { return TestFiles::Read(Log()).find(text) != std::string::npos; }
    static std::string Env(const char* name) {
        const char* value = getenv(name);
        return value != nullptr ? value : "(unset)";
    }
    TestSandbox box;

private:
    std::vector<std::string> mSaved;
};

TEST_F(TrustBoundary, RootIsRedirectedOnlyToAFolderNoOneElseCanChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the folders must be root's own";
    unsigned nobody = 0, nogroup = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(nobody, nogroup));
    auto folder = [&](const std::string& relative, mode_t mode, uid_t owner = 0) {
        TestFiles::MakeFolders(box / relative);
        EXPECT_EQ(0, chmod((box / relative).c_str(), mode));
        EXPECT_EQ(0, chown((box / relative).c_str(), owner, 0));
        return box / relative;
    };
    auto refused = [](const std::string& path) {
        std::string why;
        return Elevation::IsRootOnlyFolder(path, why) ? std::string("(honoured)") : why;
    };
    std::string why;
    EXPECT_TRUE(Elevation::IsRootOnlyFolder(folder("plain/machine", 0755), why)) << why;
    // A sticky folder on the way, as /tmp, lets no one else replace what root owns in it.
    folder("sticky", 01777);
    EXPECT_TRUE(Elevation::IsRootOnlyFolder(folder("sticky/machine", 0755), why)) << why;

    folder("open", 0777);
    EXPECT_EQ(box / "open may be changed by someone other than root", refused(folder("open/machine", 0755)));
    folder("group", 0775);
    EXPECT_EQ(box / "group may be changed by someone other than root", refused(folder("group/machine", 0755)));
    folder("users", 0755, nobody);
    EXPECT_EQ(box / "users may be changed by someone other than root", refused(folder("users/machine", 0755)));
    // The folder itself: sticky is not enough, what lies in it is what root trusts.
    EXPECT_EQ(box / "plain/shared may be written by someone other than root", refused(folder("plain/shared", 01777)));
    EXPECT_EQ(box / "plain/theirs may be changed by someone other than root",
              refused(folder("plain/theirs", 0755, nobody)));

    ASSERT_EQ(0, symlink((box / "plain/machine").c_str(), (box / "plain/link").c_str()));
    EXPECT_EQ(box / "plain/link cannot be opened as a folder", refused(box / "plain/link"));
    EXPECT_EQ(box / "plain/link cannot be opened as a folder", refused(box / "plain/link/"));
    EXPECT_EQ("it climbs with \"..\"", refused(box / "plain/machine/../machine"));
    EXPECT_EQ("not an absolute path", refused("machine"));
    EXPECT_EQ("not an absolute path", refused(""));
    TestFiles::Write(box / "plain/file", "");
    EXPECT_EQ(box / "plain/file cannot be opened as a folder", refused(box / "plain/file"));
    EXPECT_EQ(box / "plain/missing cannot be opened as a folder", refused(box / "plain/missing"));
    EXPECT_TRUE(Elevation::IsRootOnlyFolder(box / "plain/./machine//", why)) << why;
}

TEST_F(TrustBoundary, OnlyPlainLanguageCodesCross) {
    EXPECT_EQ("fr_FR:de:pt-BR:zh_Hant", Elevation::SafeLanguageList("fr_FR.UTF-8@euro:de:pt-BR:zh_Hant"));
    EXPECT_EQ("de", Elevation::SafeLanguageList("../../etc/passwd:de:/tmp/x:d:deutsch:de_:de_DEUTSCH:de_D/E"));
    EXPECT_EQ("", Elevation::SafeLanguageList(""));
    EXPECT_EQ("", Elevation::SafeLanguageList(":::"));
    EXPECT_EQ("", Elevation::SafeLanguageList("d1:de DE:de\n"));
    EXPECT_EQ("ast:es_419", Elevation::SafeLanguageList("ast:es_419"));
}

// What the wizard on the user's side asks pkexec to hand the root copy.
TEST_F(TrustBoundary, TheRelaunchPassesOnlyTheModeAndWhatTheWindowNeeds) {
    TestFiles::Write(box / "Xauthority", "cookie");
    setenv("DISPLAY", ":7.0", 1);
    setenv("XAUTHORITY", (box / "Xauthority").c_str(), 1);
    setenv("LANGUAGE", "fr_FR.UTF-8:../../x:de", 1);
    const std::vector<std::string> user{"/x/Update", "--report=/etc/shadow", "--callerID=ZEP6", "--mode=gui",
                                        "--mode=silent", "--language=../x"};
    EXPECT_EQ((std::vector<std::string>{"--mode=gui", "-norespawn", "--display=:7.0", "--xauthority=" + box / "Xauthority",
                                        "--language=fr_FR:de"}),
              Elevation::RelaunchArguments(user));

    // A display that names a host, an authority file that is no regular file or no absolute
    // path, and a language that is no code: none of them is passed.
    setenv("DISPLAY", "evil.example:0", 1);
    ASSERT_EQ(0, mkfifo((box / "fifo").c_str(), 0600));
    setenv("XAUTHORITY", (box / "fifo").c_str(), 1);
    setenv("LANGUAGE", "../../x", 1);
    setenv("LANG", "C", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    EXPECT_EQ((std::vector<std::string>{"-norespawn"}), Elevation::RelaunchArguments({"/x/Update", "--display=:0"}));
    setenv("XAUTHORITY", "Xauthority", 1);
    EXPECT_EQ((std::vector<std::string>{"-norespawn"}), Elevation::RelaunchArguments({"/x/Update"}));
}

// The root copy started by pkexec for a user: each argument checked again, the rest dropped.
TEST_F(TrustBoundary, ThroughPkexecRootKeepsOnlyWhatItChecked) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the checks apply to a root copy only";
    unsigned nobody = 0, nogroup = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(nobody, nogroup));
    const std::string authority = box / "users.Xauthority";
    TestFiles::Write(authority, "the user's cookie");
    ASSERT_EQ(0, chown(authority.c_str(), nobody, nogroup));
    setenv("PKEXEC_UID", std::to_string(nobody).c_str(), 1);
    for (const char* const* name = Elevation::kRedirectingVariables; *name != nullptr; ++name) setenv(*name, "/x", 1);
    setenv("LC_ALL", "../../tmp/messages", 1);
    setenv("DISPLAY", ":99", 1);
    const std::vector<std::string> kept = Elevation::TrustedStart(
        {"/x/Update", "--mode=gui", "--report=/etc/shadow", "-norespawn", "--callerID=ZEP6", "--display=:3",
         "--display=:4", "--xauthority=" + authority, "--language=de_DE.UTF-8:../x:fr", "--mode=silent", "plain"});
    EXPECT_EQ((std::vector<std::string>{"/x/Update", "--mode=gui", "-norespawn"}), kept);
    for (const char* const* name = Elevation::kRedirectingVariables; *name != nullptr; ++name) {
        EXPECT_EQ("(unset)", Env(*name)) << *name;
    }
    EXPECT_EQ("(unset)", Env("LC_ALL"));
    EXPECT_EQ(":3", Env("DISPLAY"));
    EXPECT_EQ("de_DE:fr", Env("LANGUAGE"));
    EXPECT_EQ("C.UTF-8", Env("LANG"));
    // X reads root's own copy of the user's file, not the file the user may change.
    const std::string copy = Env("XAUTHORITY");
    EXPECT_NE(authority, copy);
    struct stat st;
    ASSERT_EQ(0, stat(copy.c_str(), &st)) << copy;
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ("the user's cookie", TestFiles::Read(copy));
    unlink(copy.c_str());
    EXPECT_TRUE(Logged("Ignoring the argument \"--report=/etc/shadow\": it does not cross"));
    EXPECT_TRUE(Logged("Ignoring the argument \"--mode=silent\""));
    EXPECT_TRUE(Logged("Ignoring the argument \"plain\""));

    // Someone else's authority file, a link to the user's, a display that names a host: refused.
    const std::string roots = box / "roots.Xauthority";
    TestFiles::Write(roots, "root's cookie");
    ASSERT_EQ(0, symlink(authority.c_str(), (box / "link.Xauthority").c_str()));
    for (const std::string& named : {roots, box / "link.Xauthority", std::string("relative")}) {
        unsetenv("XAUTHORITY");
        unsetenv("DISPLAY");
        // Without --language the user's own language variables stay, when they are plain codes.
        setenv("LC_ALL", "../../tmp/messages", 1);
        setenv("LC_MESSAGES", "fr_FR.UTF-8@euro", 1);
        EXPECT_EQ((std::vector<std::string>{"/x/Update"}),
                  Elevation::TrustedStart({"/x/Update", "--xauthority=" + named, "--display=host:0"}));
        EXPECT_EQ("(unset)", Env("XAUTHORITY")) << named;
        EXPECT_EQ("(unset)", Env("DISPLAY"));
        EXPECT_EQ("(unset)", Env("LC_ALL"));
        EXPECT_EQ("fr_FR.UTF-8@euro", Env("LC_MESSAGES"));
    }
    EXPECT_TRUE(Logged("Ignoring the display \"host:0\": not a local display"));
    EXPECT_TRUE(Logged("Ignoring the X authority file: not a regular file of the user's own within 64 KiB"));
}

// Root on its own account honours the machine-root override only for a root-only folder.
TEST_F(TrustBoundary, RootOnItsOwnHonoursOnlyARootOnlyMachineRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    TestFiles::MakeFolders(box / "machine");
    setenv("KAVEX_SYSTEM_ROOT", (box / "machine").c_str(), 1);
    const std::vector<std::string> args{"/x/Update", "--mode=silent", "--report=/tmp/r.json"};
    EXPECT_EQ(args, Elevation::TrustedStart(args));
    EXPECT_EQ(box / "machine", Env("KAVEX_SYSTEM_ROOT"));
    ASSERT_EQ(0, chmod((box / "machine").c_str(), 0777));
    EXPECT_EQ(args, Elevation::TrustedStart(args));
    EXPECT_EQ("(unset)", Env("KAVEX_SYSTEM_ROOT"));
    EXPECT_TRUE(Logged("Ignoring KAVEX_SYSTEM_ROOT=" + box / "machine" + ": " + box / "machine" +
                       " may be changed by someone other than root"));
}

}  // namespace
