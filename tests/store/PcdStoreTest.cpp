#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "PcdStore.h"
#include "TestSandbox.h"
#include "MoxaiDataStore.h"

namespace {

class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KAVEX_SYSTEM_ROOT", box.Path().c_str(), 1);
        TestFiles::MakeFolders(box / "Library/Application Support");
    }
    std::string Folder() const { return box / "Library/Application Support/Kavex/Kavex PCD"; }
    TestSandbox box;
};

TEST_F(ConfigStore, NoCreateWithoutAFileCreatesNothing) {
    moxaiSession* session = nullptr;
    EXPECT_EQ(kMoxaErrNotFound, pcdOpenSessionNoCreate(&session));
    EXPECT_EQ(kMoxaErrNotFound, pcdOpenCacheSessionNoCreate(&session));
    EXPECT_FALSE(TestFiles::Exists(box / "Library/Application Support/Kavex"));
    int seconds = 0;
    EXPECT_EQ(kMoxaErrNotFound, pcdGetLastModTime(&seconds));
    EXPECT_EQ(kMoxaErrInvalidArgument, pcdOpenSession(nullptr));
}

TEST_F(ConfigStore, FirstOpenCreatesBothFilesWithTheirRights) {
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, pcdOpenSession(&session));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));
    struct stat st;
    ASSERT_EQ(0, stat((Folder() + "/cache").c_str(), &st));
    EXPECT_EQ(01777u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((Folder() + "/cache/cache.db").c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((Folder() + "/pcd.db").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ChildResult shell = TestProcess::Run({"/usr/bin/sqlite3", Folder() + "/pcd.db",
                                          "SELECT value FROM pcd_meta ORDER BY key;"});
    EXPECT_EQ("1\n1\n", shell.output);
    // and every later open, with or without creating
    ASSERT_EQ(kMoxaOK, pcdOpenSessionNoCreate(&session));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));
    ASSERT_EQ(kMoxaOK, pcdOpenCacheSessionNoCreate(&session));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));
}

TEST_F(ConfigStore, DomainData) {
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, pcdOpenSession(&session));
    ASSERT_EQ(kMoxaOK, pcdSetDomainData(session, 1, "{PAYLOAD}", "ZTKConfigPath", "/Library/Config/it's"));
    ASSERT_EQ(kMoxaOK, pcdSetDomainData(session, 1, "{PAYLOAD}", "Other", "x"));
    ASSERT_EQ(kMoxaOK, pcdSetDomainData(session, 1, "{SECOND}", "Other", "y"));
    ASSERT_EQ(kMoxaOK, pcdSetDomainData(session, 2, "{THIRD}", "Other", "z"));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));

    ASSERT_EQ(kMoxaOK, pcdOpenSessionNoCreate(&session));
    const char* value = nullptr;
    ASSERT_EQ(kMoxaOK, pcdGetDomainData(session, 1, "{PAYLOAD}", "ZTKConfigPath", &value));
    EXPECT_STREQ("/Library/Config/it's", value);
    const char** list = nullptr;
    ASSERT_EQ(kMoxaOK, pcdGetDomainDataSubdomains(session, 1, &list));
    std::set<std::string> subdomains;
    for (int i = 0; list[i] != nullptr; ++i) subdomains.insert(list[i]);
    EXPECT_EQ((std::set<std::string>{"{PAYLOAD}", "{SECOND}"}), subdomains);
    ASSERT_EQ(kMoxaOK, pcdGetDomainDataKeys(session, 1, "{PAYLOAD}", &list));
    EXPECT_NE(nullptr, list[1]);
    EXPECT_EQ(nullptr, list[2]);

    ASSERT_EQ(kMoxaOK, pcdSetDomainData(session, 1, "{PAYLOAD}", "ZTKConfigPath", nullptr));
    EXPECT_EQ(kMoxaErrNotFound, pcdGetDomainData(session, 1, "{PAYLOAD}", "ZTKConfigPath", &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(kMoxaErrInvalidArgument, pcdGetDomainData(session, 1, nullptr, "k", &value));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));
}

TEST_F(ConfigStore, IncompatibleFilesAreRefused) {
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, pcdOpenSession(&session));
    ASSERT_EQ(kMoxaOK, session->store->queryNR("UPDATE pcd_meta SET value = 3 WHERE key = 'schema_compatibility_version'"));
    ASSERT_EQ(kMoxaOK, pcdCloseSession(session));
    EXPECT_EQ(kMoxaErrIncompatible, pcdOpenSessionNoCreate(&session));
    EXPECT_EQ(nullptr, session);
}

}  // namespace
