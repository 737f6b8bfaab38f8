#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MOXAQueryUtilities.h"
#include "MoxaQueries.h"
#include "MoxaiFiles.h"
#include "MoxaiSchemas.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "MoxaiDataStore.h"

namespace {

// A raw connection of the kind another installer would hold.
class RawDb {
public:
    explicit RawDb(const std::string& path) { sqlite3_open(path.c_str(), &mDb); }
    ~RawDb() { sqlite3_close(mDb); }
    int Exec(const std::string& sql) { return sqlite3_exec(mDb, sql.c_str(), nullptr, nullptr, nullptr); }
    std::string One(const std::string& sql) {
        std::string result = "(no row)";
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(mDb, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(st, 0);
            result = text ? reinterpret_cast<const char*>(text) : "(null)";
        }
        sqlite3_finalize(st);
        return result;
    }

private:
    sqlite3* mDb = nullptr;
};

class StoreFiles : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KAVEX_SYSTEM_ROOT", box.Path().c_str(), 1);
        TestFiles::MakeFolders(box / "Library/Application Support");
    }
    std::string Folder() const { return box / "Library/Application Support/Kavex/moxa"; }
    std::string File() const { return Folder() + "/moxa.db"; }
    int Open() {
        moxaiSession* session = nullptr;
        int rc = moxaOpenSession(&session);
        if (rc == kMoxaOK) rc = moxaCloseSession(session);
        else EXPECT_EQ(nullptr, session);
        return rc;
    }
    // Runs an open in a child that has dropped to nobody; returns its result code.
    int OpenAsNobody() {
        pid_t pid = fork();
        if (pid == 0) {
            unsigned uid, gid;
            if (!TestProcess::NobodyIds(uid, gid) || setgid(gid) != 0 || setuid(uid) != 0) _exit(100);
            moxaiSession* session = nullptr;
            int rc = moxaOpenSession(&session);
            if (rc == kMoxaOK) rc = moxaCloseSession(session);
            _exit(rc);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    TestSandbox box;
};

TEST_F(StoreFiles, NewStoreGetsBothLevelsAllTriggersAndItsRights) {
    ASSERT_EQ(kMoxaOK, Open());
    RawDb db(File());
    EXPECT_EQ("2", db.One("SELECT value FROM pcd_meta WHERE key = 'schema_version'"));
    EXPECT_EQ("1", db.One("SELECT value FROM pcd_meta WHERE key = 'schema_compatibility_version'"));
    // as the other installers would see it, through the sqlite3 shell
    ChildResult shell = TestProcess::Run({"/usr/bin/sqlite3", File(), "SELECT count(*) FROM sqlite_master WHERE type = 'trigger';"});
    EXPECT_EQ("13\n", shell.output);
    struct stat st;
    ASSERT_EQ(0, stat(Folder().c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(moxaiAdminGroup(), st.st_gid);
    ASSERT_EQ(0, stat(File().c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(0u, st.st_uid);
}

TEST_F(StoreFiles, ForeignOrOccupiedFilesAreRefused) {
    TestFiles::Write(File(), std::string(4096, 'x'));
    EXPECT_EQ(kMoxaErrIO, Open());
    EXPECT_EQ(std::string(4096, 'x'), TestFiles::Read(File()));

    unlink(File().c_str());
    TestFiles::MakeFolders(File());
    EXPECT_EQ(kMoxaErrFailed, Open());
}

TEST_F(StoreFiles, NewerIncompatibleStoreIsLeftByteForByte) {
    ASSERT_EQ(kMoxaOK, Open());
    {
        RawDb db(File());
        ASSERT_EQ(SQLITE_OK, db.Exec("UPDATE pcd_meta SET value = 3 WHERE key = 'schema_compatibility_version'; "
                                     "UPDATE pcd_meta SET value = 7 WHERE key = 'schema_version'"));
    }
    const std::string before = TestFiles::Read(File());
    EXPECT_EQ(kMoxaErrIncompatible, Open());
    EXPECT_EQ(before, TestFiles::Read(File()));
}

TEST_F(StoreFiles, OddMetaRows) {
    ASSERT_EQ(kMoxaOK, Open());
    {
        RawDb db(File());
        ASSERT_EQ(SQLITE_OK, db.Exec("DELETE FROM pcd_meta WHERE key = 'schema_compatibility_version'"));
    }
    EXPECT_EQ(kMoxaErrNotFound, Open());  // a level-2 file without its compatibility row
    {
        RawDb db(File());
        ASSERT_EQ(SQLITE_OK, db.Exec("INSERT INTO pcd_meta VALUES ('schema_compatibility_version', 1); "
                                     "UPDATE pcd_meta SET value = 'abc' WHERE key = 'schema_version'"));
    }
    // version 0: level 1 fails on the existing tables, which is tolerated; level 2 is not tried
    EXPECT_EQ(kMoxaOK, Open());
    {
        RawDb db(File());
        EXPECT_EQ("abc", db.One("SELECT value FROM pcd_meta WHERE key = 'schema_version'"));
        ASSERT_EQ(SQLITE_OK, db.Exec("UPDATE pcd_meta SET value = '2147483647' WHERE key = 'schema_version'"));
    }
    EXPECT_EQ(kMoxaOK, Open());  // the largest version has no next level (nor an overflow)
    RawDb db(File());
    EXPECT_EQ("2147483647", db.One("SELECT value FROM pcd_meta WHERE key = 'schema_version'"));
}

TEST_F(StoreFiles, UnprivilegedProcesses) {
    EXPECT_EQ(kMoxaErrAccessDenied, OpenAsNobody());  // it may not create the folder
    EXPECT_FALSE(TestFiles::Exists(Folder()));

    // a level-1 file that nobody may write still opens, at level 1
    TestFiles::MakeFolders(Folder());
    {
        const char** level1Only[] = {gMoxaSchema_v1, nullptr};
        MoxaiDataStore level1(Folder(), "moxa.db", level1Only, false);
        ASSERT_EQ(kMoxaOK, level1.state());
    }
    EXPECT_EQ(kMoxaOK, OpenAsNobody());
    RawDb db(File());
    EXPECT_EQ("1", db.One("SELECT value FROM pcd_meta WHERE key = 'schema_version'"));
}

TEST_F(StoreFiles, UpgradeChainsAreFlattenedByLevelTwoAndItsTriggers) {
    TestFiles::MakeFolders(Folder());
    {
        const char** level1Only[] = {gMoxaSchema_v1, nullptr};
        MoxaiDataStore store(Folder(), "moxa.db", level1Only, false);
        ASSERT_EQ(kMoxaOK, store.state());
        for (const char* p : {"A", "B", "C", "D", "X"}) {
            ASSERT_EQ(kMoxaOK, store.queryNR("INSERT INTO vorn_payload VALUES ('%q', 'f', 'n', '1', 's')", p));
        }
        ASSERT_EQ(kMoxaOK, store.queryNR("INSERT INTO upgraded_payloads VALUES ('A', 'B')"));
        ASSERT_EQ(kMoxaOK, store.queryNR("INSERT INTO upgraded_payloads VALUES ('B', 'C')"));
        ASSERT_EQ(kMoxaOK, store.commit());
    }
    moxaiSession* session = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&session));
    std::map<std::string, std::string> upgrades;
    auto read = [&] {
        EXPECT_TRUE(MOXAQueryUtilities::GetUpgradedPayloadsMap(session, upgrades));
        return upgrades;
    };
    EXPECT_EQ((std::map<std::string, std::string>{{"A", "C"}, {"B", "C"}}), read());
    ASSERT_EQ(kMoxaOK, session->store->queryNR("INSERT INTO upgraded_payloads VALUES ('X', 'A')"));
    EXPECT_EQ("C", read()["X"]);
    ASSERT_EQ(kMoxaOK, session->store->queryNR("INSERT INTO upgraded_payloads VALUES ('C', 'D')"));
    EXPECT_EQ((std::map<std::string, std::string>{{"A", "C"}, {"B", "C"}, {"C", "D"}, {"X", "C"}}), read());
    EXPECT_EQ(kMoxaOK, moxaCloseSession(session));
}

TEST(StorePaths, JoiningRefusesOverlongResults) {
    std::string out = "unchanged";
    EXPECT_FALSE(moxaiPathAppend(std::string(1000, 'a'), std::string(25, 'b'), out));
    EXPECT_EQ("unchanged", out);
    EXPECT_TRUE(moxaiPathAppend(std::string(1000, 'a'), std::string(24, 'b'), out));
    EXPECT_TRUE(moxaiPathAppend("/base/", "//seg", out));
    EXPECT_EQ("/base/seg", out);
    EXPECT_TRUE(moxaiPathAppend("/base", "", out));
    EXPECT_EQ("/base", out);
}

}  // namespace
