#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "BundleProblems.h"
#include "PatchFixtures.h"
#include "TestSandbox.h"

namespace {

// "kind file line: detail", files relative to the bundle, sorted.
std::vector<std::string> Found(const std::string& root) {
    std::vector<std::string> lines;
    for (const BundleProblems::Problem& problem : BundleProblems::Find(FileSystemPath(root))) {
        const std::string file = problem.file.compare(0, root.size(), root) == 0 ? problem.file.substr(root.size() + 1) : problem.file;
        lines.push_back(problem.kind + " " + file + " " + std::to_string(problem.line) + ": " + problem.detail);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

const char* const kStrings =
    "<Strings><String stringID=\"locA\"><en_US>A</en_US><fr_FR>A</fr_FR></String>"
    "<String stringID=\"locB\"><en_US>B</en_US></String></Strings>";

TEST(BundleProblems, EachFaultOfTheBundleOnceWithItsFileAndReason) {
    TestSandbox box;
    PatchBundle bundle(box / "bundle");
    bundle.AddPatch(Patch("{GOOD}", "Good", "1.0", "{BASE}"), "A-Good");
    ProxyFields unsized = Patch("{UNSIZED}", "Unsized", "1.0", "{BASE}");
    unsized.totalSize = "";
    bundle.AddPatch(unsized, "B-Unsized");
    ProxyFields wordy = Patch("{WORDY}", "Wordy", "1.0", "{BASE}");
    wordy.totalSize = "lots";
    wordy.processes = {{"KvxFine", "1"}, {"Kvx(", "0"}};
    bundle.AddPatch(wordy, "C-Wordy");
    bundle.AddPatch(Patch("{BROKEN}", "Broken", "1.0", "{BASE}"), "D-Broken");
    TestFiles::Write(bundle.Root() + "/extensions/D-Broken/D-Broken.proxy.xml", "<Proxy>\n<Open>\n</Proxy>\n");
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{GOOD}</KavexCode></Driver>"
                    "<Optional><KavexCode>{GONE}</KavexCode></Optional></PayloadInfo>");
    bundle.Strings(kStrings);
    const std::vector<std::string> found = Found(bundle.Root());
    ASSERT_EQ(6u, found.size()) << ::testing::PrintToString(found);
    EXPECT_EQ("codeWithoutProxy setup.xml 0: {GONE} (optional) is named, and no proxy has it", found[0]);
    // a size in words, and a pattern that does not compile, in the same proxy
    EXPECT_EQ("patternInvalid extensions/C-Wordy/C-Wordy.proxy.xml 13: <Process> \"Kvx(\" does not compile; it is matched as "
              "written",
              found[1]);
    EXPECT_EQ(0u, found[2].find("proxyNotLoaded extensions/D-Broken/D-Broken.proxy.xml 3: ")) << found[2];
    EXPECT_EQ("stringMissing resources/main.xml 0: fr_FR lacks locB", found[3]);
    EXPECT_EQ("totalSizeMissing extensions/B-Unsized/B-Unsized.proxy.xml 2: no <InstallDestinationMetadata><TotalSize>: the disk "
              "check counts 0 bytes",
              found[4]);
    EXPECT_EQ("totalSizeMissing extensions/C-Wordy/C-Wordy.proxy.xml 10: <TotalSize> \"lots\" is not a number of bytes", found[5]);
}

TEST(BundleProblems, FilesThatAreNotFilesAreNamedNotWaitedOn) {
    TestSandbox box;
    PatchBundle bundle(box / "bundle");
    ProxyFields broken = Patch("{P}", "P", "1.0", "{BASE}");
    broken.processes = {{"Kvx(", "1"}};
    bundle.AddPatch(broken, "A");
    bundle.AddPatch(Patch("{Q}", "Q", "1.0", "{BASE}"), "B");
    const std::string pipe = bundle.Root() + "/extensions/B/B.proxy.xml";
    ASSERT_EQ(0, unlink(pipe.c_str()));
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0644));
    // no string table at all
    const std::vector<std::string> found = Found(bundle.Root());
    EXPECT_EQ((std::vector<std::string>{
                  "patternInvalid extensions/A/A.proxy.xml 12: <Process> \"Kvx(\" does not compile; it is matched as written",
                  "proxyNotLoaded extensions/B/B.proxy.xml 0: the file is not a regular file",
                  "stringTableMissing resources/main.xml 0: no string table: every message is empty"}),
              found);

    // a bundle without faults has nothing to say
    PatchBundle clean(box / "clean");
    clean.AddPatch(Patch("{P}", "P", "1.0", "{BASE}"));
    clean.Strings("<Strings><String stringID=\"locA\"><en_US>A</en_US><fr_FR>A</fr_FR></String></Strings>");
    EXPECT_TRUE(Found(clean.Root()).empty()) << ::testing::PrintToString(Found(clean.Root()));
}

}  // namespace
