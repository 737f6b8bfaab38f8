#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "FileSystemUtils.h"
#include "FolderResolver.h"
#include "MacUtils.h"
#include "PayloadAccessor.h"
#include "PayloadIteration.h"
#include "TestSandbox.h"

namespace {

const std::string kData = TEST_DATA_DIR;
using namespace PayloadProxyFileConstants;

std::string Proxy(const std::string& name) { return TestFiles::Read(kData + "/proxies/" + name); }

// The order in which this folder lists its entries, which the enumeration follows.
std::vector<std::string> ListingOrder(const std::string& folder) {
    std::vector<FileSystemPath> children;
    FileSystemUtils::ChildrenForDirectory(FileSystemPath(folder), children);
    std::vector<std::string> names;
    for (const FileSystemPath& child : children) names.push_back(child.NameAsUTF8String());
    return names;
}

TEST(Enumeration, OneProxyPerSubfolderInListingOrder) {
    TestSandbox box;
    const std::string ext = box / "extensions";
    TestFiles::Write(ext + "/loose.proxy.xml", Proxy("full.proxy.xml"));  // not in a subfolder
    TestFiles::Write(ext + "/one/Patch.proxy.xml", Proxy("full.proxy.xml"));
    TestFiles::Write(ext + "/one/Patch.dmg", "image");
    TestFiles::Write(ext + "/two/X.proxy.xml.bak", "backup");
    TestFiles::Write(ext + "/two/X.proxy.xml", Proxy("minimal.proxy.xml"));
    TestFiles::Write(ext + "/three/A.proxy.xml", Proxy("full.proxy.xml"));
    TestFiles::Write(ext + "/three/B.proxy.xml", Proxy("minimal.proxy.xml"));
    TestFiles::Write(ext + "/four/M.boot.xml", Proxy("minimal.proxy.xml"));
    TestFiles::MakeFolders(ext + "/empty");

    PayloadIteration::PathPairs pairs;
    ASSERT_TRUE(PayloadIteration::EnumerateVornProxyAndPayloadPaths(FileSystemPath(ext), kProxyTypeFull, pairs));
    std::vector<std::string> expected;
    for (const std::string& folder : ListingOrder(ext)) {
        if (folder == "one") expected.push_back(ext + "/one/Patch.proxy.xml|" + ext + "/one/Patch.dmg");
        if (folder == "two") expected.push_back(ext + "/two/X.proxy.xml|" + ext + "/two/X.dmg");
        if (folder == "three") {
            std::vector<std::string> files = ListingOrder(ext + "/three");
            std::string first = files[0].substr(0, 1);
            expected.push_back(ext + "/three/" + first + ".proxy.xml|" + ext + "/three/" + first + ".dmg");
        }
    }
    std::vector<std::string> got;
    for (const auto& pair : pairs) got.push_back(pair.first.AsUTF8String() + "|" + pair.second.AsUTF8String());
    EXPECT_EQ(expected, got);

    ASSERT_TRUE(PayloadIteration::EnumerateVornProxyAndPayloadPaths(FileSystemPath(ext), kProxyTypeMini, pairs));
    ASSERT_EQ(1u, pairs.size());
    EXPECT_EQ(ext + "/four/M.dmg", pairs[0].second.AsUTF8String());
    ASSERT_TRUE(PayloadIteration::EnumerateVornProxyAndPayloadPaths(FileSystemPath(ext), kProxyTypeAny, pairs));
    EXPECT_EQ(4u, pairs.size());

    EXPECT_FALSE(PayloadIteration::EnumerateVornProxyAndPayloadPaths(FileSystemPath(box / "none"), kProxyTypeFull, pairs));
}

TEST(Enumeration, FailedProxiesAreListedWhileTheOthersLoad) {
    TestSandbox box;
    const std::string ext = box / "extensions";
    TestFiles::Write(ext + "/good/Good.proxy.xml", Proxy("full.proxy.xml"));
    TestFiles::Write(ext + "/bad/Bad.proxy.xml", "<PayloadInfo>");
    TestFiles::Write(ext + "/twice/Twice.proxy.xml", Proxy("two-versions.proxy.xml"));
    std::vector<PayloadAccessor*> accessors;
    PayloadIteration::PathPairs failed;
    std::vector<std::string> images;
    EXPECT_FALSE(PayloadIteration::LoadPayloadAccessors(FileSystemPath(ext), kProxyTypeFull, accessors, failed, images));
    ASSERT_EQ(1u, accessors.size());
    std::unique_ptr<PayloadAccessor> good(accessors[0]);
    EXPECT_EQ("{A1B2C3D4-0000-0000-0000-000000000001}", good->mDataStore->mKavexCode);
    EXPECT_EQ(ext + "/good/Good.dmg", good->mPayloadImagePath.AsUTF8String());
    EXPECT_EQ(ext + "/good/Good.dmg", good->mPayloadPath.AsUTF8String());
    EXPECT_EQ(ext + "/good/Good.proxy.xml", good->mProxyPath.AsUTF8String());
    EXPECT_TRUE(good->mSelected);
    EXPECT_FALSE(good->mParentNotInstalled || good->mAlreadyInstalled || good->mHigherPatchInstalled);
    EXPECT_EQ((std::vector<std::string>{ext + "/good/Good.dmg"}), images);
    ASSERT_EQ(2u, failed.size());
    std::vector<std::string> failedNames{failed[0].first.NameAsUTF8String(), failed[1].first.NameAsUTF8String()};
    std::sort(failedNames.begin(), failedNames.end());
    EXPECT_EQ((std::vector<std::string>{"Bad.proxy.xml", "Twice.proxy.xml"}), failedNames);

    TestFiles::MakeFolders(box / "empty");
    EXPECT_TRUE(PayloadIteration::LoadPayloadAccessors(FileSystemPath(box / "empty"), kProxyTypeFull, accessors, failed, images));
    EXPECT_TRUE(accessors.empty());
}

TEST(Enumeration, ImagePathReplacesTheLastProxyExtension) {
    EXPECT_EQ("/a.proxy.xml/b/P.dmg", PayloadIteration::ImagePathForProxy("/a.proxy.xml/b/P.proxy.xml"));
    EXPECT_EQ("/a/M.boot.xml", PayloadIteration::ImagePathForProxy("/a/M.boot.xml"));
}

class Resolver : public ::testing::Test {
protected:
    void SetUp() override { setenv(kSystemRootVariable, box.Path().c_str(), 1); }
    void TearDown() override { unsetenv(kSystemRootVariable); }
    TestSandbox box;
};

TEST_F(Resolver, KeysAreExactAndFoldersAreCreated) {
    FileSystemPath path("/unchanged");
    EXPECT_FALSE(FolderResolver::ExpandPathKey("kavexcommon", path));
    EXPECT_FALSE(FolderResolver::ExpandPathKey("Nonsense", path));
    EXPECT_EQ("/unchanged", path.AsUTF8String());
    ASSERT_TRUE(FolderResolver::ExpandPathKey("KavexCommon", path));
    EXPECT_EQ(box / "Library/Application Support/Kavex", path.AsUTF8String());
    EXPECT_TRUE(TestFiles::Exists(box / "Library/Application Support"));
    EXPECT_FALSE(TestFiles::Exists(box / "Library/Application Support/Kavex"));  // not the resolver's to create

    const std::map<std::string, std::string> local = {
        {"KavexProgramFiles", "Applications"},        {"Common", "Library/Application Support"},
        {"ProgramFiles", "Applications"},             {"SharedApplicationData", "Library/Application Support"},
        {"SharedDocuments", "Users/Shared"},          {"Utilities", "Applications/Utilities"},
        {"FontsFolder", "Library/Fonts"},             {"Library", "Library"},
        {"ScriptingAdditions", "Library/ScriptingAdditions"}, {"InternetPlugins", "Library/Internet Plug-Ins"},
        {"ColorSyncProfiles", "Library/ColorSync/Profiles"},
    };
    for (const auto& entry : local) {
        ASSERT_TRUE(FolderResolver::ExpandPathKey(entry.first, path)) << entry.first;
        EXPECT_EQ(box / entry.second, path.AsUTF8String()) << entry.first;
    }
}

TEST_F(Resolver, UserFoldersBelongToTheConsoleUser) {
    setenv("HOME", (box / "home").c_str(), 1);
    FileSystemPath path("/");
    ASSERT_TRUE(FolderResolver::ExpandPathKey("UserInternetPlugins", path));
    EXPECT_EQ(box / "home/Library/Internet Plug-Ins", path.AsUTF8String());
    // root acting for the user "nobody": nobody's preferences, whether or not they exist
    setenv("SUDO_UID", "65534", 1);
    std::string home;
    ASSERT_TRUE(MacUtils::HomeFolderOfUser(65534, home));
    ASSERT_TRUE(FolderResolver::ExpandPathKey("UserPreferences", path));
    EXPECT_EQ(FileSystemPath(home).AppendUTF8Segment("Library/Preferences").AsUTF8String(), path.AsUTF8String());
    unsetenv("SUDO_UID");
}

}  // namespace
