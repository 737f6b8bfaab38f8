#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "MOQLogger.h"
#include "Deployment.h"
#include "PayloadsManagerSetup.h"
#include "RegularFile.h"
#include "TestSandbox.h"
#include "XMLParserNative.h"

namespace {

const std::string kData = TEST_DATA_DIR;

bool LoadProxy(const std::string& path, PayloadProxy::DataStore& store) {
    return XMLParserNative(path).FetchProxyData(store);
}

std::string ProxyWith(const std::string& doctype, const std::string& productName, const std::string& parentName) {
    return "<?xml version=\"1.0\"?>\n" + doctype +
           "<PayloadInfo><InstallerProperties>"
           "<Property name=\"KavexCode\">{CODE}</Property>"
           "<Property name=\"ProductVersion\">1.0</Property>"
           "<Property name=\"ProductName\">" + productName + "</Property>"
           "</InstallerProperties><Satisfies><ProductInfo><Family>F</Family><ProductName>P</ProductName></ProductInfo></Satisfies>"
           "<Extends type=\"patch\"><ParentProductInfo><ProductName>" + parentName + "</ProductName></ParentProductInfo></Extends>"
           "</PayloadInfo>\n";
}

TEST(ProxyReader, ReadsEveryItemOfAFullProxy) {
    TestSandbox box;
    MOQ_Logger_StartAt((box / "log").c_str(), false);
    PayloadProxy::DataStore store;
    ASSERT_TRUE(LoadProxy(kData + "/proxies/full.proxy.xml", store));
    MOQ_Logger_End();
    EXPECT_EQ("{A1B2C3D4-0000-0000-0000-000000000001}", store.mKavexCode);
    EXPECT_EQ("2.0.1", store.mProductVersion);
    EXPECT_EQ("Tool", store.mProductName);  // "_2.0.1_Update" cut off
    EXPECT_EQ("Creative", store.mFamily);
    EXPECT_EQ("Tool Update", store.mProduct);
    EXPECT_EQ("patch", store.mExtensionType);
    EXPECT_EQ("{BASE0000-0000-0000-0000-000000000001}", store.mParentKavexCode);
    EXPECT_EQ("Tool", store.mParentProductName);
    EXPECT_EQ((std::vector<std::string>{"{OLD00000-0000-0000-0000-000000000001}", "{OLD00000-0000-0000-0000-000000000002}"}),
              store.mUpgrades);
    EXPECT_EQ("123456789", store.mTotalSize);
    ASSERT_EQ(2u, store.mConflictingProcesses.size());  // entries without name or blocking are skipped
    EXPECT_EQ("Tool", store.mConflictingProcesses[0].mProcessName);
    EXPECT_EQ("1", store.mConflictingProcesses[0].mBlocking);
    EXPECT_EQ("Helper & Co", store.mConflictingProcesses[1].mProcessName);
    EXPECT_EQ("0", store.mConflictingProcesses[1].mBlocking);
    EXPECT_NE(std::string::npos, TestFiles::Read(box / "log").find("MOQ: _info_:  ---- FOUND THE CONFLICTING PROCESSES\n"));
}

TEST(ProxyReader, RequiredAndOptionalItems) {
    PayloadProxy::DataStore minimal;
    ASSERT_TRUE(LoadProxy(kData + "/proxies/minimal.proxy.xml", minimal));
    EXPECT_EQ("", minimal.mProductName);  // "_1.0" is all suffix
    EXPECT_TRUE(minimal.mExtensionType.empty() && minimal.mParentKavexCode.empty() && minimal.mTotalSize.empty());
    EXPECT_TRUE(minimal.mUpgrades.empty() && minimal.mConflictingProcesses.empty());

    PayloadProxy::DataStore twice;
    EXPECT_FALSE(LoadProxy(kData + "/proxies/two-versions.proxy.xml", twice));
    EXPECT_EQ("{TWOVERS0-0000-0000-0000-000000000001}", twice.mKavexCode);
    EXPECT_EQ("", twice.mProductName);  // later queries were not run

    TestSandbox box;
    TestFiles::Write(box / "nofamily.proxy.xml", ProxyWith("", "Name", "Parent").replace(
        ProxyWith("", "Name", "Parent").find("<Family>F</Family>"), 18, ""));
    PayloadProxy::DataStore noFamily;
    EXPECT_FALSE(LoadProxy(box / "nofamily.proxy.xml", noFamily));

    TestFiles::Write(box / "broken.proxy.xml", "<PayloadInfo><InstallerProperties></PayloadInfo>");
    PayloadProxy::DataStore broken;
    EXPECT_FALSE(LoadProxy(box / "broken.proxy.xml", broken));

    PayloadProxy::DataStore missing;
    missing.mFamily = "kept";
    EXPECT_TRUE(LoadProxy(box / "absent.proxy.xml", missing));  // a missing file reads nothing
    EXPECT_EQ("kept", missing.mFamily);
}

TEST(ProxyReader, ExternalEntitiesAreNeverExpanded) {
    TestSandbox box;
    TestFiles::Write(box / "secret", "TOPSECRET");
    const std::string doctype = "<!DOCTYPE PayloadInfo [<!ENTITY secret SYSTEM \"file://" + box / "secret" +
                                "\"><!ENTITY inner \"INNER\">]>\n";
    std::string xml = ProxyWith(doctype, "Name&secret;", "Parent&inner;&secret;");
    xml.insert(xml.find("</PayloadInfo>"), "<ConflictingProcesses><OSX><Process blocking=\"&inner;\">App</Process>"
                                           "<Process blocking=\"1\">Tool&inner;</Process></OSX></ConflictingProcesses>");
    TestFiles::Write(box / "xxe.proxy.xml", xml);
    PayloadProxy::DataStore store;
    EXPECT_TRUE(LoadProxy(box / "xxe.proxy.xml", store));
    // Entity reference nodes, in texts and in attributes, contribute nothing.
    EXPECT_EQ("Name", store.mProductName);
    EXPECT_EQ("Parent", store.mParentProductName);
    ASSERT_EQ(1u, store.mConflictingProcesses.size());
    EXPECT_EQ("Tool", store.mConflictingProcesses[0].mProcessName);
}

// Every reader: a folder, a FIFO, a link or an oversized file in place of the
// file is a failure, reported at once; only a missing file reads as nothing.
TEST(Readers, OnlyRegularFilesWithinTheBoundAreRead) {
    TestSandbox box;
    const std::string proxy = TestFiles::Read(kData + "/proxies/full.proxy.xml");
    TestFiles::Write(box / "real.xml", proxy);
    TestFiles::MakeFolders(box / "folder.xml");
    ASSERT_EQ(0, mkfifo((box / "fifo.xml").c_str(), 0644));
    ASSERT_EQ(0, symlink((box / "real.xml").c_str(), (box / "link.xml").c_str()));
    std::string oversized = proxy;
    oversized.insert(oversized.find("</PayloadInfo>"), std::string(RegularFile::kMaxBytes, ' '));
    TestFiles::Write(box / "oversized.xml", oversized);
    for (const char* name : {"folder.xml", "fifo.xml", "link.xml", "oversized.xml"}) {
        const std::string path = box / name;
        PayloadProxy::DataStore store;
        EXPECT_FALSE(LoadProxy(path, store)) << name;
        PayloadsManagerSetup::DataStore setup;
        EXPECT_FALSE(XMLParserNative(path).FetchSetupXMLData(setup)) << name;
        std::map<std::string, std::string> strings;
        std::string language = "en_US";
        EXPECT_FALSE(XMLParserNative(path).FetchLanguageStrings(strings, language)) << name;
        Deployment::DataStore deployment;
        deployment.mDeploymentFilePath = path;
        EXPECT_FALSE(XMLParserNative(path).FetchDeploymentData(deployment)) << name;
    }
    PayloadProxy::DataStore real;
    EXPECT_TRUE(LoadProxy(box / "real.xml", real));
    EXPECT_EQ("2.0.1", real.mProductVersion);

    std::string bytes = "kept";
    EXPECT_EQ(RegularFile::kMissing, RegularFile::Read(box / "absent/file", RegularFile::kNoFinalLink, bytes));
    EXPECT_EQ(RegularFile::kRead, RegularFile::Read(box / "link.xml", RegularFile::kFollowLinks, bytes));
    EXPECT_EQ(proxy, bytes);
    EXPECT_EQ(RegularFile::kRefused, RegularFile::Read(box / "real.xml", RegularFile::kNoFinalLink, bytes, proxy.size() - 1));
    EXPECT_EQ(RegularFile::kRead, RegularFile::Read(box / "real.xml", RegularFile::kNoFinalLink, bytes, proxy.size()));
}

TEST(ProxyReader, EntityExpansionBombDoesNotGrowMemory) {
    TestSandbox box;
    std::string doctype = "<!DOCTYPE PayloadInfo [<!ENTITY lol0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 9; ++i) {
        doctype += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) doctype += "&lol" + std::to_string(i - 1) + ";";
        doctype += "\">";
    }
    doctype += "]>\n";
    TestFiles::Write(box / "bomb.proxy.xml", ProxyWith(doctype, "Bomb&lol9;", "&lol9;&lol9;"));
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    PayloadProxy::DataStore store;
    LoadProxy(box / "bomb.proxy.xml", store);  // may fail; it must not expand
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes grown";
    EXPECT_LT(store.mProductName.size(), 100u);
    EXPECT_LT(store.mParentProductName.size(), 100u);
}

TEST(DeploymentReader, ReadsTheFileItsStoreNames) {
    TestSandbox box;
    Deployment::DataStore deployment;
    XMLParserNative reader(box / "ignored.xml");
    deployment.mDeploymentFilePath = box / "absent.xml";
    EXPECT_TRUE(reader.FetchDeploymentData(deployment));
    TestFiles::Write(box / "good.xml", "<Deployment><Data/></Deployment>");
    deployment.mDeploymentFilePath = box / "good.xml";
    EXPECT_TRUE(reader.FetchDeploymentData(deployment));
    TestFiles::Write(box / "bad.xml", "<Deployment>");
    deployment.mDeploymentFilePath = box / "bad.xml";
    EXPECT_FALSE(reader.FetchDeploymentData(deployment));
}

TEST(SetupReader, DriverCriticalOptionalAndDisplayMap) {
    PayloadsManagerSetup::DataStore setup;
    ASSERT_TRUE(XMLParserNative(kData + "/setup/setup.xml").FetchSetupXMLData(setup));
    EXPECT_EQ("{DRIVER00-0000-0000-0000-000000000001}", setup.mDriverCode);
    EXPECT_EQ((std::vector<std::string>{"{CRIT0000-0000-0000-0000-000000000001}", "{CRIT0000-0000-0000-0000-000000000002}"}),
              setup.mCriticalCodes);
    EXPECT_EQ(3u, setup.mOptionalCodes.size());
    std::map<std::string, std::string> expected = {
        {"{DRIVER00-0000-0000-0000-000000000001}", "show"},
        {"{CRIT0000-0000-0000-0000-000000000001}", "none"},  // Critical is read before Optional
        {"{CRIT0000-0000-0000-0000-000000000002}", "show"},
        {"{OPT00000-0000-0000-0000-000000000001}", "none"},
    };
    EXPECT_EQ(expected, setup.mDisplayByCode);

    PayloadsManagerSetup::DataStore twoDrivers;
    ASSERT_TRUE(XMLParserNative(kData + "/setup/two-drivers.xml").FetchSetupXMLData(twoDrivers));
    EXPECT_EQ("", twoDrivers.mDriverCode);
    EXPECT_EQ(2u, twoDrivers.mDisplayByCode.size());
    EXPECT_TRUE(twoDrivers.mCriticalCodes.empty());

    TestSandbox box;
    TestFiles::Write(box / "bad.xml", "<PayloadInfo><Driver>");
    PayloadsManagerSetup::DataStore bad;
    EXPECT_FALSE(XMLParserNative(box / "bad.xml").FetchSetupXMLData(bad));
    EXPECT_TRUE(XMLParserNative(box / "absent.xml").FetchSetupXMLData(bad));
}

TEST(StringReader, LaterDuplicatesWinAndOnlyPlainLanguagesAreQueried) {
    std::map<std::string, std::string> strings;
    std::string language = "en_US";
    ASSERT_TRUE(XMLParserNative(kData + "/strings/main.xml").FetchLanguageStrings(strings, language));
    EXPECT_EQ((std::map<std::string, std::string>{{"locQuit", "Quit now"}, {"locRetry", "Retry"}}), strings);

    std::map<std::string, std::string> french;
    language = "fr_FR";
    ASSERT_TRUE(XMLParserNative(kData + "/strings/main.xml").FetchLanguageStrings(french, language));
    EXPECT_EQ("R\xC3\xA9" "essayer", french["locRetry"]);

    std::map<std::string, std::string> none;
    for (std::string bad : {"en_US | /Localization/String/fr_FR", "*", "", "en US", "../x"}) {
        EXPECT_FALSE(XMLParserNative(kData + "/strings/main.xml").FetchLanguageStrings(none, bad)) << bad;
    }
    language = "de_DE";  // no such strings: nothing to read is a failure
    EXPECT_FALSE(XMLParserNative(kData + "/strings/main.xml").FetchLanguageStrings(none, language));
    EXPECT_TRUE(none.empty());
    language = "en_US";
    EXPECT_TRUE(XMLParserNative("/nonexistent/main.xml").FetchLanguageStrings(none, language));
}

}  // namespace
