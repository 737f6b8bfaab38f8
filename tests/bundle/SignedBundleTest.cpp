// Signed bundles end to end: the built program against the machine's trusted keys,
// and kavex-bundle's verify, lint and new beside it.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "JsonSchemaSubset.h"
#include "SilentRunFixture.h"

using nlohmann::json;

namespace {

const std::string kTool = KAVEX_BUNDLE_TOOL;

const char* const kSignedStrings =
    "<Localization>"
    "<String stringID=\"locBundleSignatureInvalid\"><en_US>Not as its publisher signed it.</en_US></String>"
    "<String stringID=\"locBundleRuleRollback\"><en_US>Older than what this computer has.</en_US></String>"
    "</Localization>";

json ReadJson(const std::string& path) { return json::parse(TestFiles::Read(path), nullptr, false); }

void ExpectConforms(const json& report) {
    static const json schema = ReadJson(REPORT_SCHEMA);
    ASSERT_FALSE(report.is_discarded());
    for (const std::string& problem : JsonSchemaSubset::Validate(schema, report)) ADD_FAILURE() << problem;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

class SignedBundle : public SilentRun {
protected:
    void SetUp() override {
        SilentRun::SetUp();
        bundle.Strings(kSignedStrings);
        bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "Update");
        symlink("main.xml", (bundle.Root() + "/resources/strings").c_str());
        ASSERT_EQ(0, Tool({"keygen", box / "team.secret", box / "team.pub"}).status);
        ASSERT_EQ(0, Tool({"keygen", box / "other.secret", box / "other.pub"}).status);
    }
    ChildResult Tool(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {kTool};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestProcess::Run(argv);
    }
    void Trust(const std::string& publicFile) {
        const std::string folder = machine + "/Library/Application Support/Kavex/TrustedKeys";
        TestFiles::MakeFolders(folder);
        chmod(folder.c_str(), 0755);
        TestFiles::Write(folder + "/" + publicFile.substr(publicFile.rfind('/') + 1), TestFiles::Read(publicFile));
    }
    void Place(const std::string& folder, const std::string& publicFile) {
        const std::string path = machine + "/Library/Application Support/Kavex/" + folder;
        TestFiles::MakeFolders(path);
        chmod(path.c_str(), 0755);
        TestFiles::Write(path + "/" + publicFile.substr(publicFile.rfind('/') + 1), TestFiles::Read(publicFile));
    }
    void Policy(const std::string& text) {
        const std::string path = machine + "/Library/Application Support/Kavex/TrustPolicy";
        if (text.empty()) unlink(path.c_str()); else TestFiles::Write(path, text);
    }
    // Every door tells the same verdict: kavex-bundle verify on the machine, the check, and the
    // silent run's report; a refusal ends both runs with 35. The run's rule comes back.
    std::string Decided(const std::string& expectedRule, const std::string& reasonStart = "") {
        const ChildResult verify = Tool({"verify", "--machine-root=" + machine, bundle.Root()});
        const ChildResult check = Program({"--mode=check"});
        const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
        const json report = ReadJson(box / "report.json");
        ExpectConforms(report);
        const json& verdict = report["bundle"];
        const std::string rule = verdict["rule"].is_string() ? verdict["rule"].get<std::string>() : "";
        const std::string reason = verdict["reason"].is_string() ? verdict["reason"].get<std::string>() : "";
        EXPECT_EQ(expectedRule, rule) << verdict;
        EXPECT_EQ(0u, reason.find(reasonStart)) << reason;
        EXPECT_NE(std::string::npos, check.output.find("Bundle trust: rule " + rule)) << check.output;
        EXPECT_NE(std::string::npos, verify.output.find("\nBundle trust: rule " + rule)) << verify.output;
        const std::string state = verdict["signature"].get<std::string>();
        // The clock ticks between the two.
        auto timeless = [](const std::string& text) { return text.substr(0, text.find(", and the clock says ")); };
        EXPECT_EQ(timeless(state + ": " + (state == "valid" ? "signed by key " + verdict["keyId"].get<std::string>() : reason) +
                           (state == "valid" && !reason.empty() ? " - " + reason : "")),
                  timeless(FirstLine(verify.output)));
        EXPECT_EQ(state == "invalid" ? 1 : 0, verify.status) << verify.output;
        if (state == "invalid") {
            EXPECT_EQ(35, check.status) << check.output;
            EXPECT_EQ(35, run.status) << run.output;
            EXPECT_EQ(0u, report["patches"].size());
        } else {
            EXPECT_NE(35, run.status) << run.output;
        }
        return rule;
    }
    std::string StateFile() const { return machine + "/var/lib/kavex/trust/state"; }
    std::string State() const { return TestFiles::Exists(StateFile()) ? TestFiles::Read(StateFile()) : std::string(); }
    ChildResult Program(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        store.Save();
        return TestProcess::Run(argv, Environment());
    }
    std::string Invocations() const {
        const std::string log = SetupFolder("{S1}") + "/invocations.log";
        return TestFiles::Exists(log) ? TestFiles::Read(log) : std::string();
    }
};

struct Tampering {
    const char* name;
    std::function<void(const std::string& bundle, const std::string& box)> change;
    const char* reason;  // the start of the report's reason
};

void Flip(const std::string& path) {
    std::string bytes = TestFiles::Read(path);
    ASSERT_FALSE(bytes.empty()) << path;
    bytes[bytes.size() / 2] ^= 1;
    struct stat st;
    stat(path.c_str(), &st);
    TestFiles::Write(path, bytes);
    chmod(path.c_str(), st.st_mode & 07777);
}

TEST_F(SignedBundle, OnlyWhatATrustedKeySignedRunsAndVerifyAgreesOnEveryCase) {
    const std::vector<Tampering> cases = {
        {"untouched", [](const std::string&, const std::string&) {}, ""},
        {"proxy byte", [](const std::string& b, const std::string&) { Flip(b + "/extensions/Update/Update.proxy.xml"); },
         "changed: extensions/Update/Update.proxy.xml (content)"},
        {"image byte", [](const std::string& b, const std::string&) { Flip(b + "/extensions/Update/Update.dmg"); },
         "changed: extensions/Update/Update.dmg (content)"},
        {"data byte", [](const std::string& b, const std::string&) { Flip(b + "/extensions/Update/Update.data"); },
         "changed: extensions/Update/Update.data (content)"},
        {"string table byte", [](const std::string& b, const std::string&) { Flip(b + "/resources/main.xml"); },
         "changed: resources/main.xml (content)"},
        {"program resource byte",
         [](const std::string& b, const std::string&) { Flip(b + "/Update.app/Contents/Resources/Update.svg"); },
         "changed: Update.app/Contents/Resources/Update.svg (content)"},
        {"longer file",
         [](const std::string& b, const std::string&) {
             const std::string proxy = b + "/extensions/Update/Update.proxy.xml";
             TestFiles::Write(proxy, TestFiles::Read(proxy) + " ");
         },
         "changed: extensions/Update/Update.proxy.xml (size)"},
        {"mode", [](const std::string& b, const std::string&) { chmod((b + "/extensions/Update/Update.dmg").c_str(), 0666); },
         "changed: extensions/Update/Update.dmg (mode)"},
        {"extra file", [](const std::string& b, const std::string&) { TestFiles::Write(b + "/extensions/Update/x.data", "x"); },
         "extra: extensions/Update/x.data"},
        {"removed file", [](const std::string& b, const std::string&) { unlink((b + "/extensions/Update/Update.data").c_str()); },
         "missing: extensions/Update/Update.data"},
        {"link target",
         [](const std::string& b, const std::string&) {
             unlink((b + "/resources/strings").c_str());
             symlink("main.css", (b + "/resources/strings").c_str());
         },
         "changed: resources/strings (link target)"},
        {"file for a link",
         [](const std::string& b, const std::string&) {
             unlink((b + "/resources/strings").c_str());
             TestFiles::Write(b + "/resources/strings", "main.xml");
         },
         "changed: resources/strings (was a link, is a file)"},
        {"another key",
         [](const std::string& b, const std::string& box) {
             ASSERT_EQ(0, TestProcess::Run({kTool, "sign", box + "/other.secret", b}).status);
         },
         "bad signature: the manifest is not signed by a trusted key"},
        {"manifest edited after signing",
         [](const std::string& b, const std::string&) {
             // Lists a file the folder does not hold: only the signature can tell.
             const std::string manifest = b + "/bundle.manifest";
             TestFiles::Write(manifest, TestFiles::Read(manifest) + "folder 0755 0 - zz\n");
         },
         "bad signature"},
        {"no signature",
         [](const std::string& b, const std::string&) {
             unlink((b + "/bundle.sig").c_str());
             unlink((b + "/bundle.manifest").c_str());
         },
         "the bundle is not signed (no bundle.manifest)"},
    };
    Trust(box / "team.pub");
    const std::string backup = box / "signed";
    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    TestProcess::Run({"/bin/cp", "-a", bundle.Root(), backup});
    for (const Tampering& tampering : cases) {
        SCOPED_TRACE(tampering.name);
        TestFiles::RemoveTree(bundle.Root());
        TestProcess::Run({"/bin/cp", "-a", backup, bundle.Root()});
        TestFiles::RemoveTree(SetupFolder("{S1}") + "/invocations.log");
        TestFiles::RemoveTree(SetupFolder("{S2}") + "/invocations.log");
        tampering.change(bundle.Root(), box.Path());
        const bool valid = std::string(tampering.reason).empty();

        const ChildResult verify = Tool({"verify", box / "team.pub", bundle.Root()});
        EXPECT_EQ(valid ? 0 : 1, verify.status) << verify.output;
        EXPECT_EQ(0u, verify.output.find(valid ? "valid: signed by key " : std::string("invalid: ") + tampering.reason))
            << verify.output;

        const ChildResult check = Program({"--mode=check"});
        EXPECT_NE(std::string::npos, check.output.find(std::string("Bundle signature: ") + (valid ? "valid, key " : "invalid - ") +
                                                       (valid ? "" : tampering.reason)))
            << check.output;

        const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
        const json report = ReadJson(box / "report.json");
        ExpectConforms(report);
        if (valid) {
            EXPECT_EQ(0, check.status) << check.output;
            EXPECT_EQ(0, run.status) << run.output;
            EXPECT_EQ(1u, TestFiles::Lines(Invocations()).size());
            EXPECT_EQ("valid", report["bundle"]["signature"]);
            EXPECT_EQ("valid: signed by key " + report["bundle"]["keyId"].get<std::string>(), FirstLine(verify.output));
            continue;
        }
        EXPECT_EQ(35, check.status) << check.output;
        EXPECT_NE(std::string::npos, check.output.find("Check result: 35 ("));
        EXPECT_EQ(std::string::npos, check.output.find("Patch {PATCH}")) << "classified a refused bundle";
        EXPECT_EQ(35, run.status) << run.output;
        EXPECT_EQ("", Invocations()) << "launched from a refused bundle";
        // A changed string table changes the message; the result stays.
        if (std::string(tampering.name) != "string table byte") {
            EXPECT_EQ("result=4\nmessage=Not as its publisher signed it.\n", Results());
        }
        EXPECT_EQ("invalid", report["bundle"]["signature"]);
        EXPECT_EQ(nullptr, report["bundle"]["keyId"]);
        EXPECT_EQ(0u, report["bundle"]["reason"].get<std::string>().find(tampering.reason)) << report["bundle"];
        EXPECT_EQ(FirstLine(verify.output), "invalid: " + report["bundle"]["reason"].get<std::string>());
        EXPECT_EQ(35, report["exit"]["code"]);
        EXPECT_EQ(0u, report["patches"].size());
    }
}

TEST_F(SignedBundle, WithoutATrustedKeyAnUnsignedBundleRunsAsBeforeAndSaysSo) {
    const ChildResult check = Program({"--mode=check"});
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_NE(std::string::npos, check.output.find("Bundle signature: unsigned - no key is trusted\n")) << check.output;
    const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ(1u, TestFiles::Lines(Invocations()).size());
    const json report = ReadJson(box / "report.json");
    ExpectConforms(report);
    EXPECT_EQ("unsigned", report["bundle"]["signature"]);
    EXPECT_EQ(nullptr, report["bundle"]["keyId"]);

    // A key folder that others than root could change trusts nothing, and refuses all.
    Trust(box / "team.pub");
    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    const std::string folder = machine + "/Library/Application Support/Kavex/TrustedKeys";
    chmod(folder.c_str(), 0775);
    const ChildResult loose = Program({"--mode=silent", "--callerID=ZEP6"});
    EXPECT_EQ(35, loose.status) << loose.output;
    EXPECT_NE(std::string::npos, loose.output.find("others than root can change it")) << loose.output;
    chmod(folder.c_str(), 0755);
    chmod((machine + "/Library").c_str(), 0777);
    EXPECT_EQ(35, Program({"--mode=check"}).status);
    chmod((machine + "/Library").c_str(), 0755);
    // Signed and trusted: it runs, and finds the patch the first run installed.
    EXPECT_EQ(29, Program({"--mode=silent", "--callerID=ZEP6"}).status);
}

TEST_F(SignedBundle, ToolKeysAreTextAndTheSecretStaysPrivate) {
    struct stat st;
    ASSERT_EQ(0, stat((box / "team.secret").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(0u, TestFiles::Read(box / "team.pub").find("kavex-bundle-public-key "));
    const std::string secret = TestFiles::Read(box / "team.secret");
    const ChildResult again = Tool({"keygen", box / "team.secret", box / "third.pub"});
    EXPECT_EQ(3, again.status);
    EXPECT_EQ(secret, TestFiles::Read(box / "team.secret"));
    EXPECT_FALSE(TestFiles::Exists(box / "third.pub"));

    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    const std::string first = TestFiles::Read(bundle.Root() + "/bundle.manifest");
    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    EXPECT_EQ(first, TestFiles::Read(bundle.Root() + "/bundle.manifest"));
    EXPECT_NE(std::string::npos, first.find("\nlink 0777 8 - resources/strings main.xml\n")) << first;
    EXPECT_EQ(std::string::npos, first.find("bundle.sig"));

    const ChildResult help = Tool({"--help"});
    EXPECT_EQ(0, help.status);
    for (const char* section : {"NAME", "SYNOPSIS", "COMMANDS", "FILES", "EXIT STATUS", "keygen", "sign", "cosign", "rotate", "verify", "lint", "new", "TrustPolicy", "RevokedKeys"}) {
        EXPECT_NE(std::string::npos, help.output.find(section)) << section;
    }
    const ChildResult version = Tool({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("kavex-bundle (Kavex Update) 2.1.51.0\n", version.output);
    const ChildResult nowhere = Tool({"lint", box / "nowhere"});
    EXPECT_EQ(3, nowhere.status);
    EXPECT_EQ("kavex-bundle: " + (box / "nowhere") + ": No such file or directory: name the bundle folder (it holds "
              "Update.app, extensions/ and setup.xml)\n",
              nowhere.output);
    const ChildResult keyless = Tool({"sign", box / "no.secret", bundle.Root()});
    EXPECT_EQ(3, keyless.status);
    EXPECT_EQ("kavex-bundle: " + (box / "no.secret") + ": No such file or directory\n", keyless.output);
    // A secret key others may read, or one reached through a link, signs nothing.
    ASSERT_EQ(0, symlink((box / "team.secret").c_str(), (box / "linked.secret").c_str()));
    const ChildResult linked = Tool({"sign", box / "linked.secret", bundle.Root()});
    EXPECT_EQ(3, linked.status);
    EXPECT_EQ("kavex-bundle: " + (box / "linked.secret") + ": is a symbolic link: name the key file itself\n", linked.output);
    ASSERT_EQ(0, chmod((box / "team.secret").c_str(), 0644));
    const ChildResult exposed = Tool({"sign", box / "team.secret", bundle.Root()});
    EXPECT_EQ(3, exposed.status);
    EXPECT_NE(std::string::npos, exposed.output.find("is readable or writable by others (mode 0644): chmod 600 it"))
        << exposed.output;
    ASSERT_EQ(0, chmod((box / "team.secret").c_str(), 0600));
    EXPECT_EQ(2, Tool({"frobnicate"}).status);
    EXPECT_EQ(2, Tool({"verify"}).status);
    EXPECT_EQ(2, Tool({"sign", box / "team.secret", bundle.Root(), "--valid-days=3"}).status) << "a release option without a series";
    EXPECT_EQ(2, Tool({"sign", box / "team.secret", bundle.Root(), "--series=a b", "--version=1"}).status);
    EXPECT_EQ(2, Tool({"sign", box / "team.secret", bundle.Root(), "--series=s", "--version=1", "--expires=2020-01-01",
                       "--issued=2021-01-01"}).status);
}

std::multiset<std::string> LintKinds(const std::string& output) {
    std::multiset<std::string> kinds;
    for (const std::string& line : TestFiles::Lines(output)) kinds.insert(line.substr(0, line.find(':')));
    return kinds;
}

TEST_F(SignedBundle, LintFindsEveryPlantedProblemAsTheCheckDoes) {
    const ChildResult clean = Tool({"lint", bundle.Root()});
    EXPECT_EQ(0, clean.status) << clean.output;
    EXPECT_EQ("no problems\n", clean.output);

    ProxyFields sizeless = Patch("{SIZELESS}", "Suite Extra", "1.0.2", "{BASE}");
    sizeless.totalSize = "";
    bundle.AddPatch(sizeless, "Sizeless");
    ProxyFields imageless = Patch("{IMAGELESS}", "Suite Pack", "1.0.3", "{BASE}");
    imageless.processes = {{"Suite", ""}};
    bundle.AddPatch(imageless, "Imageless");
    std::string versionless = ProxyXml(Patch("{VERSIONLESS}", "Suite Tool", "1.0.4", "{BASE}"));
    versionless.erase(versionless.find("    <Property name=\"ProductVersion\">"), versionless.find("    <Property name=\"ProductName\">") -
                                                                                   versionless.find("    <Property name=\"ProductVersion\">"));
    TestFiles::Write(bundle.Root() + "/extensions/Versionless/Versionless.proxy.xml", versionless);
    TestFiles::Write(bundle.Root() + "/extensions/Versionless/Versionless.dmg", "image");
    unlink((bundle.Root() + "/extensions/Imageless/Imageless.dmg").c_str());
    TestFiles::Write(bundle.Root() + "/extensions/Broken/Broken.proxy.xml", "<Payload><unclosed>\n");
    TestFiles::Write(bundle.Root() + "/extensions/Broken/Broken.dmg", "image");
    TestFiles::Write(bundle.Root() + "/extensions/Huge/Huge.proxy.xml", std::string(9 * 1024 * 1024, ' '));
    TestFiles::Write(bundle.Root() + "/extensions/Huge/Huge.dmg", "image");
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode>{NOBODY}</KavexCode></Driver></PayloadInfo>");
    bundle.Strings(
        "<Localization><String stringID=\"locQuit\"><en_US>Quit</en_US><fr_FR>Quitter</fr_FR></String>"
        "<String stringID=\"locRetry\"><en_US>Retry</en_US></String></Localization>");
    TestFiles::Write(bundle.Root() + "/resources/main.html", "<button data-l10n=\"locQuit\"></button><p data-l10n=\"locGone\">");
    TestFiles::Write(bundle.Root() + "/resources/main.js", "T(\"locRetry\"); var location = \"location\";");

    const ChildResult lint = Tool({"lint", bundle.Root()});
    EXPECT_EQ(1, lint.status) << lint.output;
    const std::multiset<std::string> expected = {"proxyNotLoaded", "proxyNotLoaded", "proxyNotLoaded", "totalSizeMissing",
                                                 "imageMissing", "processIgnored", "codeWithoutProxy", "stringMissing", "pageStringMissing",
                                                 "pageStringMissing", "pageStringMissing"};
    EXPECT_EQ(expected, LintKinds(lint.output)) << lint.output;
    EXPECT_NE(std::string::npos, lint.output.find("Broken.proxy.xml:")) << lint.output;
    // the file, the line and the element to mend
    EXPECT_NE(std::string::npos, lint.output.find("Versionless.proxy.xml:3: no <InstallerProperties><Property "
                                                  "name=\"ProductVersion\">: every proxy needs exactly one\n"))
        << lint.output;
    EXPECT_NE(std::string::npos, lint.output.find("Imageless.proxy.xml:12: <Process> without a blocking attribute is ignored"))
        << lint.output;
    EXPECT_NE(std::string::npos, lint.output.find("main.html: uses what en_US lacks: locGone\n")) << lint.output;
    EXPECT_NE(std::string::npos, lint.output.find("main.html: uses what fr_FR lacks: locGone\n")) << lint.output;
    EXPECT_NE(std::string::npos, lint.output.find("main.js: uses what fr_FR lacks: locRetry\n")) << lint.output;

    // The check's report finds the same, from the same code.
    Program({"--mode=check", "--report=" + (box / "check.json")});
    const json report = ReadJson(box / "check.json");
    std::multiset<std::string> reported;
    for (const json& problem : report["bundleProblems"]) reported.insert(problem["kind"].get<std::string>());
    EXPECT_EQ(expected, reported);
}

TEST_F(SignedBundle, ANewBundleLintsCleanAndInstallsOnceSigned) {
    const std::string payloads = box / "payloads";
    TestFiles::Write(payloads + "/Update/Update.proxy.xml", ProxyXml(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}")));
    TestFiles::Write(payloads + "/Update/Update.dmg", "image");
    TestFiles::Write(payloads + "/Update/Update.data", "data");
    TestFiles::Write(payloads + "/Extra/Extra.proxy.xml", ProxyXml(Patch("{EXTRA}", "Suite Extra", "1.0.2", "{BASE}")));
    TestFiles::Write(payloads + "/Extra/Extra.dmg", "image");
    const std::string made = box / "made";
    const std::string built = UPDATE_EXECUTABLE;
    const ChildResult created = Tool({"new", "--out=" + made, "--program=" + built.substr(0, built.find("/Update.app/") + 11),
                                      payloads + "/Update", payloads + "/Extra"});
    ASSERT_EQ(0, created.status) << created.output;
    EXPECT_NE(std::string::npos, created.output.find("no problems\n")) << created.output;
    EXPECT_NE(std::string::npos, TestFiles::Read(made + "/setup.xml").find("<Driver>\n    <KavexCode display=\"show\">{PATCH}"));
    EXPECT_EQ(3, Tool({"new", "--out=" + made, payloads + "/Update"}).status) << "over a bundle";

    // The example payload lints clean in a bundle whose parent folders new makes.
    const ChildResult example = Tool({"new", "--example=" + (box / "team/payloads/Example")});
    ASSERT_EQ(0, example.status) << example.output;
    const std::string deep = box / "out/2026/bundle";
    const ChildResult fromExample =
        Tool({"new", "--out=" + deep, "--program=" + built.substr(0, built.find("/Update.app/") + 11), box / "team/payloads/Example"});
    EXPECT_EQ(0, fromExample.status) << fromExample.output;
    EXPECT_NE(std::string::npos, fromExample.output.find("\nno problems\n")) << fromExample.output;
    EXPECT_TRUE(TestFiles::Exists(deep + "/extensions/Example/Example.data"));
    // A payload whose proxy does not load is a bundle problem, named where it lies.
    std::string broken = ProxyXml(Patch("{BROKEN}", "Suite Broken", "1.0.9", "{BASE}"));
    broken.erase(broken.find("    <Property name=\"KavexCode\">"), broken.find("    <Property name=\"ProductVersion\">") -
                                                                      broken.find("    <Property name=\"KavexCode\">"));
    TestFiles::Write(payloads + "/Broken/Broken.proxy.xml", broken);
    const ChildResult refused = Tool({"new", "--out=" + (box / "never"), payloads + "/Broken"});
    EXPECT_EQ(1, refused.status) << refused.output;
    EXPECT_EQ("proxyNotLoaded: " + payloads + "/Broken/Broken.proxy.xml:3: no <InstallerProperties><Property "
              "name=\"KavexCode\">: every proxy needs exactly one\n",
              refused.output);
    EXPECT_FALSE(TestFiles::Exists(box / "never"));

    // Installed, the tool finds the program and pages it copies in its shared folder.
    const std::string prefix = box / "usr";
    TestFiles::Write(prefix + "/lib/kavex-bundle/Update.app/Contents/MacOS/Update", "the packaged program");
    for (const char* page : {"main.html", "main.css", "main.js", "main.xml"}) {
        TestFiles::Write(prefix + "/share/kavex-bundle/resources/" + page, TestFiles::Read(std::string(RESOURCES_DIR) + "/" + page));
    }
    TestFiles::Write(prefix + "/bin/kavex-bundle", TestFiles::Read(kTool));
    ASSERT_EQ(0, chmod((prefix + "/bin/kavex-bundle").c_str(), 0755));
    const ChildResult installed = TestProcess::Run({prefix + "/bin/kavex-bundle", "new", "--out=" + (box / "packaged"), payloads + "/Update"});
    EXPECT_EQ(0, installed.status) << installed.output;
    EXPECT_EQ("the packaged program", TestFiles::Read(box / "packaged/Update.app/Contents/MacOS/Update"));

    ASSERT_EQ(0, Tool({"sign", box / "team.secret", made}).status);
    Trust(box / "team.pub");
    program = made + "/Update.app/Contents/MacOS/Update";
    const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
    EXPECT_EQ(0, run.status) << run.output;
    const json report = ReadJson(box / "report.json");
    EXPECT_EQ("valid", report["bundle"]["signature"]);
    EXPECT_EQ(2u, report["patches"].size());
    const std::string invocations = Invocations();
    EXPECT_NE(std::string::npos, invocations.find("--kavexCodeList={PATCH}")) << invocations;
    // The setup got the signed copies.
    EXPECT_EQ("data", TestFiles::Read(SetupFolder("{S1}") + "/extensions/Update/Update.data"));
}

}  // namespace

namespace {

// The copy beside a setup keeps a file of the same size and time as it is; a signed
// run reads it back, and launches no setup beside bytes that were not signed.
TEST_F(SignedBundle, ASetupIsNeverLaunchedBesideCopiesThatDifferFromWhatWasSigned) {
    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    Trust(box / "team.pub");
    const std::string source = bundle.Root() + "/extensions/Update/Update.data";
    const std::string stale = SetupFolder("{S1}") + "/extensions/Update/Update.data";
    std::string bytes = TestFiles::Read(source);
    bytes[0] ^= 1;
    TestFiles::Write(stale, bytes);
    struct stat st;
    ASSERT_EQ(0, stat(source.c_str(), &st));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, stale.c_str(), times, 0));

    const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
    EXPECT_EQ(28, run.status) << run.output;
    EXPECT_EQ("", Invocations()) << "launched beside a copy that was not signed";
    EXPECT_EQ(1u, TestFiles::Lines(TestFiles::Read(SetupFolder("{S2}") + "/invocations.log")).size());
    const json report = ReadJson(box / "report.json");
    EXPECT_EQ("valid", report["bundle"]["signature"]);
    bool refused = false;
    for (const json& launch : report["launches"]) {
        if (launch["sessionID"] == "{S1}") refused = !launch["launched"].get<bool>();
    }
    EXPECT_TRUE(refused) << report["launches"];
    EXPECT_NE(std::string::npos, TestFiles::Read("/tmp/moq.log").find("The copies are not what was signed: " + stale));
}

// The machine's own entry, placed in the sandbox root as its package installs it.
std::string InstallEntry(const std::string& machine) {
    const std::string entry = machine + "/usr/libexec/kavex/kavex-update";
    TestFiles::Write(entry, TestFiles::Read(KAVEX_UPDATE_PROGRAM));
    chmod(entry.c_str(), 0755);
    return entry;
}

std::vector<std::string> Runs(const std::string& machine) {
    std::vector<std::string> runs;
    for (const std::string& name : TestFiles::Lines(TestProcess::Run({"/bin/ls", "-A", machine + "/var/lib/kavex/staging"}).output)) {
        if (name != ".lock") runs.push_back(name);
    }
    return runs;
}

// Root started on the bundle as the update manager starts it hands the run to the machine's
// entry, which runs a verified snapshot. Whatever the bundle's owner changes while the first
// setup runs (the image, planted files, the pattern module, the proxy's names, the program),
// the second setup reads the signed image from a folder outside the bundle, the report names
// what was signed, and nothing planted is loaded or run as root, then or in a later run.
TEST_F(SignedBundle, RootRunsOnlyTheSnapshotItVerifiedWhileTheBundleChangesUnderIt) {
    ProxyFields patch = Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}");
    patch.processes = {{"no-such-application-runs", "1"}};  // so that the pattern module is loaded
    const std::string image = bundle.Root() + "/extensions/Update/Update.dmg";
    TestFiles::Write(bundle.Root() + "/extensions/Update/Update.proxy.xml", ProxyXml(patch));
    const std::string signedImage = TestFiles::Read(image);
    ASSERT_EQ(0, Tool({"sign", box / "team.secret", bundle.Root()}).status);
    Trust(box / "team.pub");
    const std::string entry = InstallEntry(machine);
    // The first setup's hook changes the bundle; the second's records what its setup sees.
    const std::string b = bundle.Root();
    TestFiles::Write(box / "hook.sh",
                     "#!/bin/sh\n"
                     "media=; app=\n"
                     "for a in \"$@\"; do case \"$a\" in --extensionMediaPath=*) media=${a#*=};; --appPath=*) app=${a#*=};; esac; done\n"
                     "if [ ! -e " + box / "changed" + " ]; then\n"
                     "  touch " + box / "changed" + "\n"
                     "  printf forged > '" + image + "'\n"
                     "  printf planted > '" + b + "/extensions/Update/planted.data'\n"
                     "  mkdir -p '" + b + "/extensions/runtime' && printf planted > '" + b + "/extensions/runtime/planted'\n"
                     "  cp '" MARKER_MODULE "' '" + b + "/Update.app/Contents/PlugIns/ConflictPatterns.so'\n"
                     "  sed -i 's/Suite Update/Forged Name/' '" + b + "/extensions/Update/Update.proxy.xml'\n"
                     "  printf '#!/bin/sh\\ntouch /tmp/forged-program-ran\\n' > '" + b + "/Update.app/Contents/MacOS/Update'\n"
                     "else\n"
                     "  { echo \"$media\"; cat \"$media/Update/Update.dmg\"; echo; ls -R \"$media\" \"${app%/Setup.app}\"; } > " +
                         box / "seen.txt" + "\n"
                     "fi\n");
    chmod((box / "hook.sh").c_str(), 0755);
    for (const char* session : {"{S1}", "{S2}"}) {
        TestFiles::Write(SetupFolder(session) + "/standin.conf", "record-installed=1\nhook=" + box / "hook.sh" + "\n");
    }

    const ChildResult run = Program({"--mode=silent", "--callerID=ZEP6", "--report=" + (box / "report.json")});
    EXPECT_EQ(0, run.status) << run.output;
    const std::string seen = TestFiles::Read(box / "seen.txt");
    const std::string media = FirstLine(seen);
    EXPECT_EQ(0u, media.find(machine + "/var/lib/kavex/staging/run-")) << media;
    EXPECT_NE(std::string::npos, seen.find(signedImage)) << seen;
    EXPECT_EQ(std::string::npos, seen.find("forged")) << seen;
    EXPECT_EQ(std::string::npos, seen.find("planted")) << seen;
    const json report = ReadJson(box / "report.json");
    ExpectConforms(report);
    ASSERT_EQ(1u, report["patches"].size());
    EXPECT_EQ("Suite Update", report["patches"][0]["productName"]);
    EXPECT_EQ("valid", report["bundle"]["signature"]);
    EXPECT_EQ(b, report["stagedFrom"]);
    ASSERT_EQ(2u, report["launches"].size());
    for (const json& launch : report["launches"]) EXPECT_TRUE(launch["launched"].get<bool>()) << launch;
    EXPECT_NE(std::string::npos, TestFiles::Read("/tmp/moq.log").find("Handing the run over to " + entry));
    EXPECT_EQ(std::vector<std::string>{}, Runs(machine)) << "the staging outlived its run";

    // The changed bundle: its snapshot differs from what was signed, so nothing of it runs.
    for (const std::string& mode : {std::string("--mode=check"), std::string("--mode=silent")}) {
        const ChildResult again = TestProcess::Run({entry, mode, b}, Environment());
        EXPECT_EQ(35, again.status) << again.output;
        EXPECT_NE(std::string::npos, again.output.find("kavex-update: the bundle is refused (changed): changed: ")) << again.output;
    }
    EXPECT_FALSE(TestFiles::Exists("/tmp/forged-program-ran"));
    EXPECT_FALSE(TestFiles::Exists("/tmp/marker-module-loaded"));
    EXPECT_EQ(std::vector<std::string>{}, Runs(machine));
}

// The entry ends every start it cannot stage with one line and a code: a folder that is not
// there, not a folder, a link, or no bundle; not root; something that is no file, folder or
// link inside; no room to stage. What killed runs left is removed; a live run's staging stays.
TEST_F(SignedBundle, TheMachineEntryEndsWhatItCannotStageWithOneLineAndACode) {
    const std::string entry = InstallEntry(machine);
    symlink(bundle.Root().c_str(), (box / "link").c_str());
    TestFiles::Write(box / "file", "");
    TestFiles::MakeFolders(box / "empty");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } starts[] = {
        {{box / "missing"}, 1, "cannot be opened: No such file or directory"},
        {{box / "file"}, 1, "is not a folder"},
        {{box / "link"}, 1, "is a link"},
        {{box / "empty"}, 1, "holds no Update.app/Contents/MacOS/Update"},
        {{bundle.Root(), box / "empty"}, 1, "name one bundle folder"},
        {{}, 1, "name one bundle folder"},
    };
    for (const auto& start : starts) {
        std::vector<std::string> argv{entry, "--mode=check"};
        argv.insert(argv.end(), start.args.begin(), start.args.end());
        const ChildResult run = TestProcess::Run(argv, Environment());
        EXPECT_EQ(start.status, run.status) << run.output;
        EXPECT_EQ(0u, run.output.find("kavex-update: ")) << run.output;
        EXPECT_NE(std::string::npos, FirstLine(run.output).find(start.says)) << run.output;
    }
    const ChildResult user = TestProcess::Run({entry, "--mode=check", bundle.Root()}, Environment(), true);
    EXPECT_EQ(14, user.status) << user.output;
    EXPECT_EQ(1u, TestFiles::Lines(user.output).size()) << user.output;

    // A killed run's staging goes; one whose run still holds it stays.
    const std::string staging = machine + "/var/lib/kavex/staging";
    TestFiles::Write(staging + "/run-dead/bundle/left", "x");
    TestFiles::MakeFolders(staging + "/run-live/bundle");
    chmod(staging.c_str(), 0700);
    const int live = open((staging + "/run-live").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(0, flock(live, LOCK_SH));
    const ChildResult check = TestProcess::Run({entry, "--mode=check", bundle.Root()}, Environment());
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_EQ(std::vector<std::string>{"run-live"}, Runs(machine));
    close(live);

    mkfifo((bundle.Root() + "/extensions/Update/pipe").c_str(), 0644);
    const ChildResult fifo = TestProcess::Run({entry, "--mode=check", bundle.Root()}, Environment());
    EXPECT_EQ(35, fifo.status) << fifo.output;
    EXPECT_NE(std::string::npos, fifo.output.find("extensions/Update/pipe is a FIFO")) << fifo.output;
    unlink((bundle.Root() + "/extensions/Update/pipe").c_str());

    // A staging volume too small for the bundle: 25, naming the volume.
    ASSERT_EQ(0, mount("tmpfs", staging.c_str(), "tmpfs", 0, "size=64k,mode=0700")) << strerror(errno);
    const ChildResult full = TestProcess::Run({entry, "--mode=silent", bundle.Root()}, Environment());
    umount2(staging.c_str(), MNT_DETACH);
    EXPECT_EQ(25, full.status) << full.output;
    EXPECT_NE(std::string::npos, full.output.find("not enough disk space on " + staging + " to stage the bundle")) << full.output;
    EXPECT_EQ("", Invocations());
}

}  // namespace

namespace {

// Versions, time and scope: each release of a series is checked against the clock, its
// products and the highest version this machine accepted, and only a run that installs
// remembers it.
TEST_F(SignedBundle, AnOlderExpiredEarlyOrForeignReleaseIsRefusedByItsRule) {
    Trust(box / "team.pub");
    const std::string secret = box / "team.secret";
    auto release = [&](const std::vector<std::string>& options) {
        std::vector<std::string> args = {"sign", secret, bundle.Root(), "--series=suite"};
        args.insert(args.end(), options.begin(), options.end());
        const ChildResult signed_ = Tool(args);
        ASSERT_EQ(0, signed_.status) << signed_.output;
    };
    release({"--version=5"});
    EXPECT_EQ(0, Program({"--mode=check"}).status);
    EXPECT_FALSE(TestFiles::Exists(machine + "/var")) << "a check changes nothing";
    Decided("trusted");
    struct Step {
        const char* name;
        std::vector<std::string> options;  // empty: format 1
        const char* rule;
        const char* reason;
    };
    const std::vector<Step> steps = {
        {"the same version again", {"--version=5"}, "trusted", ""},
        {"an older version", {"--version=4"}, "rollback", "rollback: version 4 of suite is older than 5, accepted on 20"},
        {"format 1 after format 2", {}, "rollback", "rollback: a bundle without a version, signed by key "},
        {"expired", {"--version=6", "--issued=2020-01-01", "--expires=2020-06-30"}, "expired", "expired on 2020-06-30T23:59:59Z"},
        {"not yet issued", {"--version=6", "--issued=2099-01-01"}, "notYetValid", "not yet valid: issued 2099-01-01T00:00:00Z, and the clock says "},
        {"another product", {"--version=6", "--products={OTHER},{ELSE}"}, "outOfScope",
         "out of scope: the patch {PATCH} is for base product {BASE}, which the manifest does not name"},
        {"a newer version", {"--version=6", "--valid-days=2"}, "trusted", ""},
        {"the one it replaced", {"--version=5"}, "rollback", "rollback: version 5 of suite is older than 6"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.options.empty()) {
            ASSERT_EQ(0, Tool({"sign", secret, bundle.Root()}).status);
        } else {
            release(step.options);
        }
        Decided(step.rule, step.reason);
        // The refusal's own words where the string table has them, else the general ones.
        const std::string message = ReadJson(box / "report.json")["exit"]["message"];
        if (std::string(step.rule) != "trusted") {
            EXPECT_EQ(std::string(step.rule) == "rollback" ? "Older than what this computer has." : "Not as its publisher signed it.",
                      message);
        }
    }
    const json verdict = ReadJson(box / "report.json")["bundle"];
    EXPECT_EQ(2, verdict["format"]);
    EXPECT_EQ("suite", verdict["series"]);
    EXPECT_EQ(5, verdict["version"]);
    EXPECT_EQ(json::array({"{BASE}"}), verdict["products"]) << "the scope defaults to what the bundle patches";
    EXPECT_EQ(1u, verdict["signers"].size());
    EXPECT_EQ(json({{"required", 1}, {"met", true}}), verdict["threshold"]);
    // Remembered once per key and series, in root's own folder.
    const std::string state = State();
    EXPECT_EQ(1u, TestFiles::Lines(state).size() - 2) << state;
    EXPECT_NE(std::string::npos, state.find(" suite 6 ")) << state;
    struct stat st;
    ASSERT_EQ(0, stat((machine + "/var/lib/kavex/trust").c_str(), &st));
    EXPECT_EQ(040700u, st.st_mode & 0170777);
    // State that others could change is no state to trust.
    chmod((machine + "/var/lib/kavex/trust").c_str(), 0755);
    EXPECT_EQ(35, Program({"--mode=check"}).status);
    chmod((machine + "/var/lib/kavex/trust").c_str(), 0700);
    // An ordinary user's check cannot read root's state, and says so.
    const ChildResult userCheck = TestProcess::Run({program, "--mode=check"}, Environment(), true);
    EXPECT_NE(std::string::npos, userCheck.output.find("Bundle signature: valid, key ")) << userCheck.output;
    EXPECT_NE(std::string::npos, userCheck.output.find(" - versions not compared: this user may not read")) << userCheck.output;
    // A run of an ordinary user neither installs nor remembers.
    release({"--version=9"});
    store.Save();
    EXPECT_EQ(14, TestProcess::Run({program, "--mode=silent"}, Environment(), true).status);
    EXPECT_EQ(state, State());
}

// Keys: two signers under a threshold, a revoked key, a rotation and its replay, and
// what the machine does when its keys are required or vanish.
TEST_F(SignedBundle, ThePolicyRevocationAndRotationDecideWhichSignaturesCount) {
    ASSERT_EQ(0, Tool({"keygen", box / "next.secret", box / "next.pub"}).status);
    Trust(box / "team.pub");
    Trust(box / "other.pub");
    auto sign = [&](const std::string& key, unsigned version, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"sign", box / key, bundle.Root(), "--series=suite", "--version=" + std::to_string(version)};
        args.insert(args.end(), more.begin(), more.end());
        const ChildResult signed_ = Tool(args);
        ASSERT_EQ(0, signed_.status) << signed_.output;
    };
    Policy("# two people sign every release\nthreshold=2\n");
    sign("team.secret", 1);
    Decided("threshold", "threshold: signed by 1 trusted key(s) (");
    EXPECT_EQ(json({{"required", 2}, {"met", false}}), ReadJson(box / "report.json")["bundle"]["threshold"]);
    ASSERT_EQ(0, Tool({"cosign", box / "other.secret", bundle.Root()}).status);
    EXPECT_EQ(1, Tool({"cosign", box / "other.secret", bundle.Root()}).status) << "the same signer twice";
    Decided("trusted");
    EXPECT_EQ(2u, ReadJson(box / "report.json")["bundle"]["signers"].size());
    EXPECT_EQ(2u, TestFiles::Lines(TestFiles::Read(bundle.Root() + "/bundle.sig")).size());

    // Revoked wins over trusted: its signature no longer counts.
    Place("RevokedKeys", box / "other.pub");
    Decided("threshold");
    Policy("threshold=1\n");
    sign("other.secret", 2);
    Decided("revoked", "revoked: the bundle is signed by key ");

    // The team moves to a new key; the statement travels in the bundle.
    const ChildResult statement = Tool({"rotate", box / "team.secret", box / "next.pub"});
    ASSERT_EQ(0, statement.status);
    TestFiles::Write(box / "rotation", statement.output);
    sign("next.secret", 1);
    Decided("badSignature", "bad signature: the manifest is not signed by a trusted key");
    // The new key carries on the old one's versions.
    sign("next.secret", 0, {"--rotation=" + (box / "rotation")});
    Decided("rollback", "rollback: version 0 of suite is older than 1");
    sign("next.secret", 3, {"--rotation=" + (box / "rotation")});
    Decided("trusted");
    EXPECT_NE(std::string::npos, State().find("\nrotated ")) << State();
    sign("next.secret", 3);
    Decided("trusted");
    // The old key is out, and its statement replayed brings nothing back.
    sign("team.secret", 4, {"--rotation=" + (box / "rotation")});
    Decided("replaced", "replaced: the bundle is signed by key ");
    // The administrator's folders were left as they were.
    EXPECT_TRUE(TestFiles::Exists(machine + "/Library/Application Support/Kavex/TrustedKeys/team.pub"));
    // Revoking the old key once it has handed over (it may have leaked) leaves the new one trusted.
    Place("RevokedKeys", box / "team.pub");
    sign("next.secret", 4);
    Decided("trusted");

    // Keys moved aside: refused, not unsigned, until root's policy says so.
    const std::string keys = machine + "/Library/Application Support/Kavex/TrustedKeys";
    ASSERT_EQ(0, rename(keys.c_str(), (keys + ".aside").c_str()));
    Policy("");
    Decided("keysVanished", "the trusted keys are gone");
    Policy("signatures=optional\n");
    Decided("noKeyTrusted");
    Policy("signatures=required\n");
    Decided("signaturesRequired", "signatures are required, and no key is trusted");
    Policy("signatures=sometimes\n");
    Decided("keysUnusable", "the trusted keys cannot be used: ");
    Policy("threshold=1\n");
    chmod((machine + "/Library/Application Support/Kavex/TrustPolicy").c_str(), 0666);
    Decided("keysUnusable", "the trusted keys cannot be used: ");
}

}  // namespace
