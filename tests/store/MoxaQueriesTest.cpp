#include <gtest/gtest.h>
#include <sqlite3.h>

#include <errno.h>
#include <unistd.h>

#include <thread>

#include "FaultyDisk.h"
#include "FileSystemUtils.h"
#include "MOXAQueryUtilities.h"
#include "MoxaQueries.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"
#include "MoxaiDataStore.h"

namespace {

std::vector<std::string> ToVector(const char** list) {
    std::vector<std::string> out;
    for (int i = 0; list != nullptr && list[i] != nullptr; ++i) out.push_back(list[i]);
    return out;
}

class Queries : public ::testing::Test {
protected:
    void SetUp() override {
        store.Payload("{BASE}", "Suite", "1.0")
            .Payload("{OTHER}", "Tool", "2.0")
            .Payload("{PATCH'1}", "Suite", "1.0.1")
            .Collection("{COLL-A}", "{BASE}", 300)
            .Collection("{COLL-B}", "{OTHER}", 100)
            .Member("{COLL-A}", "{BASE}", 2, 30)
            .Member("{COLL-B}", "{OTHER}", 2, 10)
            .Member("{COLL-B}", "{BASE}", 0, 20)
            .Member("{COLL-A}", "{PATCH'1}", 2, 40)
            .Constraint("{PATCH'1}", "{BASE}")
            .Constraint("{OTHER}", "{BASE}", 0)
            .PayloadData("{BASE}", 5, "INSTALLDIR", "/Applications/Suite")
            .PayloadData("{BASE}", 5, "mediaPath", "/media/suite");
        store.Save();
        session = store.Session();
    }
    TestSandbox box;
    StoreBuilder store{box.Path()};
    moxaiSession* session = nullptr;
};

TEST_F(Queries, ListsByStateAndTheirShapes) {
    const char** list = nullptr;
    ASSERT_EQ(kMoxaOK, moxaGetCollections(session, &list));
    EXPECT_EQ((std::vector<std::string>{"{COLL-B}", "{COLL-A}"}), ToVector(list));
    ASSERT_EQ(kMoxaOK, moxaGetPayloads(session, 2, &list));
    EXPECT_EQ((std::vector<std::string>{"{OTHER}", "{BASE}", "{PATCH'1}"}), ToVector(list));
    ASSERT_EQ(kMoxaOK, moxaGetPayloads(session, 4, &list));  // any state, each once
    EXPECT_EQ(3u, ToVector(list).size());
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloads(session, 5, &list));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloads(session, -1, &list));
    EXPECT_EQ(kMoxaErrNotFound, moxaGetPayloads(session, 1, &list));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(nullptr, list[0]);  // the empty list, never a null pointer

    ASSERT_EQ(kMoxaOK, moxaGetPayloadCollections(session, 4, "{BASE}", &list));
    EXPECT_EQ((std::vector<std::string>{"{COLL-B}", "{COLL-A}"}), ToVector(list));
    ASSERT_EQ(kMoxaOK, moxaGetPayloadCollections(session, 2, "{BASE}", &list));
    EXPECT_EQ((std::vector<std::string>{"{COLL-A}"}), ToVector(list));
    ASSERT_EQ(kMoxaOK, moxaGetCollectionPayloads(session, 2, "{COLL-A}", &list));
    EXPECT_EQ((std::vector<std::string>{"{BASE}", "{PATCH'1}"}), ToVector(list));

    ASSERT_EQ(kMoxaOK, moxaGetPayloadDataKeysAndValues(session, "{BASE}", 5, &list));
    std::vector<std::string> pairs = ToVector(list);
    ASSERT_EQ(4u, pairs.size());  // key, value, key, value
    EXPECT_TRUE((pairs[0] == "INSTALLDIR" && pairs[1] == "/Applications/Suite") || (pairs[2] == "INSTALLDIR" && pairs[3] == "/Applications/Suite"));
}

TEST_F(Queries, ConstraintsQuotesAndArguments) {
    const char** list = nullptr;
    ASSERT_EQ(kMoxaOK, moxaGetPayloadConstraint(session, "{PATCH'1}", 1, &list));
    EXPECT_EQ((std::vector<std::string>{"{BASE}"}), ToVector(list));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloadConstraint(session, "{PATCH'1}", 3, &list));
    ASSERT_EQ(kMoxaOK, moxaGetPayloadConstraintReverse(session, "{BASE}", 1, &list));
    EXPECT_EQ((std::vector<std::string>{"{PATCH'1}"}), ToVector(list));

    ASSERT_EQ(kMoxaOK, moxaSetPayloadData(session, "{PATCH'1}", 0, "it's", "O'Brien's \"value\""));
    const char* value = nullptr;
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{PATCH'1}", 0, "it's", &value));
    EXPECT_STREQ("O'Brien's \"value\"", value);

    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloadData(nullptr, "{BASE}", 0, "k", &value));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloadData(session, nullptr, 0, "k", &value));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloadData(session, "{BASE}", 0, nullptr, &value));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetPayloadData(session, "{BASE}", 0, "k", nullptr));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetCollections(session, nullptr));
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaSetCollectionData(session, nullptr, 5, "k", "v"));
    moxaiSession empty{nullptr};
    EXPECT_EQ(kMoxaErrNoStore, moxaGetCollections(&empty, &list));
}

TEST_F(Queries, SingleValuesNullsAndData) {
    const char* value = "stale";
    EXPECT_EQ(kMoxaErrNotFound, moxaGetPayloadData(session, "{BASE}", 0, "missing", &value));
    EXPECT_EQ(nullptr, value);

    ASSERT_EQ(kMoxaOK, moxaSetPayloadData(session, "{BASE}", 0, "empty", ""));
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "empty", &value));
    EXPECT_STREQ("", value);
    ASSERT_EQ(kMoxaOK, moxaSetPayloadData(session, "{BASE}", 0, "empty", nullptr));  // null removes
    EXPECT_EQ(kMoxaErrNotFound, moxaGetPayloadData(session, "{BASE}", 0, "empty", &value));

    // another installer may store NULL: the value is then empty text, not a null pointer
    store.Sql("INSERT INTO payload_data VALUES ('{BASE}', 0, 'nullvalue', NULL)");
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "nullvalue", &value));
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ("", value);

    int state = 7;
    ASSERT_EQ(kMoxaOK, moxaGetInstallState(session, "{COLL-A}", "{BASE}", &state));
    EXPECT_EQ(2, state);
    EXPECT_EQ(kMoxaErrNotFound, moxaGetInstallState(session, "{COLL-A}", "{OTHER}", &state));
    EXPECT_EQ(0, state);

    ASSERT_EQ(kMoxaOK, moxaSetCollectionData(session, "{COLL-A}", 5, "sessionID", "{S1}"));
    ASSERT_EQ(kMoxaOK, moxaGetCollectionData(session, "{COLL-A}", 5, "sessionID", &value));
    EXPECT_STREQ("{S1}", value);
    ASSERT_EQ(kMoxaOK, moxaRemoveCollectionDomainData(session, "{COLL-A}", 5));
    EXPECT_EQ(kMoxaErrNotFound, moxaGetCollectionData(session, "{COLL-A}", 5, "sessionID", &value));
}

TEST_F(Queries, RecordReads) {
    moxaPayloadRecord payload = {"keep", "keep", "keep", "keep", "keep"};
    EXPECT_EQ(kMoxaErrNotFound, moxaGetPayload(session, "{NOPE}", &payload));
    EXPECT_STREQ("keep", payload.payloadID);
    ASSERT_EQ(kMoxaOK, moxaGetPayload(session, "{PATCH'1}", &payload));
    EXPECT_STREQ("{PATCH'1}", payload.payloadID);
    EXPECT_STREQ("Suite", payload.productName);
    EXPECT_STREQ("1.0.1", payload.version);
    EXPECT_STREQ("", payload.signature);
    moxaCollectionRecord collection = {};
    ASSERT_EQ(kMoxaOK, moxaGetCollection(session, "{COLL-A}", &collection));
    EXPECT_STREQ("{BASE}", collection.collectionPayloadID);
    EXPECT_EQ(300, collection.tsInstalled);
    EXPECT_EQ(kMoxaErrInvalidArgument, moxaGetCollection(session, "{COLL-A}", nullptr));
}

TEST_F(Queries, TriggerRefusalLeavesTheTransactionToTheCaller) {
    EXPECT_EQ(kMoxaErrConstraint, moxaSetCollectionData(session, "{NO-SUCH-COLLECTION}", 5, "k", "v"));
    EXPECT_EQ(0, sqlite3_get_autocommit(session->store->connection()));  // still open
    EXPECT_EQ(kMoxaErrConstraint, session->store->queryNR("DELETE FROM vorn_collection_payload WHERE collectionID = '{COLL-A}' AND payloadID = '{BASE}'"));
    ASSERT_EQ(kMoxaOK, moxaSessionRollback(session));
    EXPECT_NE(0, sqlite3_get_autocommit(session->store->connection()));
    // an uninstalled membership may go
    EXPECT_EQ(kMoxaOK, session->store->queryNR("DELETE FROM vorn_collection_payload WHERE collectionID = '{COLL-B}' AND payloadID = '{BASE}'"));
}

TEST_F(Queries, ClosingCommitsAndRefreshesTheBackup) {
    moxaiSession* writer = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&writer));
    ASSERT_EQ(kMoxaOK, moxaSetPayloadData(writer, "{BASE}", 5, "INSTALLDIR", "/Applications/Moved"));
    ASSERT_EQ(kMoxaOK, moxaCloseSession(writer));
    const std::string backup = box / "Library/Application Support/Kavex/backup/moxa.db";
    ChildResult shell = TestProcess::Run({"/usr/bin/sqlite3", backup,
                                          "SELECT value FROM payload_data WHERE key = 'INSTALLDIR';"});
    EXPECT_EQ("/Applications/Moved\n", shell.output);
}

// The backup is replaced whole or not at all: a disk that fills up or fails while it is
// written leaves the previous copy and nothing beside it.
TEST_F(Queries, ABackupThatCannotBeWrittenLeavesThePreviousCopy) {
    const std::string folder = box / "Library/Application Support/Kavex/backup";
    auto backedUp = [&]() {
        return TestProcess::Run({"/usr/bin/sqlite3", folder + "/moxa.db", "SELECT value FROM payload_data WHERE key = 'k';"}).output;
    };
    moxaiSession* writer = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&writer));
    ASSERT_EQ(kMoxaOK, moxaSetPayloadData(writer, "{BASE}", 0, "k", "first"));
    ASSERT_EQ(kMoxaOK, moxaCloseSession(writer));
    ASSERT_EQ("first\n", backedUp());
    for (FaultyDisk::Call call : {FaultyDisk::kWrite, FaultyDisk::kFsync, FaultyDisk::kRename}) {
        ASSERT_EQ(kMoxaOK, moxaOpenSession(&writer));
        ASSERT_EQ(kMoxaOK, moxaSetPayloadData(writer, "{BASE}", 0, "k", "second"));
        FaultyDisk disk;
        disk.Fail(FaultyDisk::kCopyRange, ENOSPC);
        disk.Fail(call, call == FaultyDisk::kWrite ? ENOSPC : EIO);
        EXPECT_EQ(kMoxaOK, moxaSessionCommit(writer)) << call;  // the store itself was written
        EXPECT_EQ(kMoxaErrIO, moxaBackup()) << call;
        EXPECT_EQ(kMoxaOK, moxaCloseSession(writer)) << call;
        EXPECT_GT(disk.Uses(call), 0) << call;
        EXPECT_EQ("first\n", backedUp()) << call;
        std::vector<FileSystemPath> children;
        ASSERT_TRUE(FileSystemUtils::ChildrenForDirectory(FileSystemPath(folder), children));
        EXPECT_EQ(1u, children.size()) << call;
    }
    EXPECT_EQ(kMoxaOK, moxaBackup());
    EXPECT_EQ("second\n", backedUp());
}

// The session's first failure outlives what follows it: a write that succeeds later is
// committed, and the close still reports the failure.
TEST_F(Queries, AWriteBlockedByAnotherConnectionFailsBusyUntilTheClose) {
    moxaiSession* writer = nullptr;
    ASSERT_EQ(kMoxaOK, moxaOpenSession(&writer));
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(store.StoreFile().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    EXPECT_EQ(kMoxaErrBusy, moxaSetPayloadData(writer, "{BASE}", 0, "k", "v"));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(kMoxaOK, moxaSessionRollback(writer));
    EXPECT_EQ(kMoxaOK, moxaSetPayloadData(writer, "{BASE}", 0, "k", "v"));
    EXPECT_EQ(kMoxaErrBusy, moxaSessionFailure(writer));
    EXPECT_EQ(kMoxaErrBusy, moxaCloseSession(writer));
    const char* value = nullptr;
    ASSERT_EQ(kMoxaOK, moxaGetPayloadData(session, "{BASE}", 0, "k", &value));
    EXPECT_STREQ("v", value);
}

TEST_F(Queries, EffectiveCodesAndPatches) {
    using namespace MOXAQueryUtilities;
    std::string effective = "x";
    EXPECT_FALSE(GetEffectiveKavexCodeFromOriginal(session, "", effective));
    EXPECT_EQ("", effective);
    EXPECT_TRUE(GetEffectiveKavexCodeFromOriginal(session, "{BASE}", effective));  // empty table
    EXPECT_EQ("{BASE}", effective);
    store.Upgrade("{OTHER}", "{BASE}");
    EXPECT_TRUE(GetEffectiveKavexCodeFromOriginal(session, "{OTHER}", effective));
    EXPECT_EQ("{BASE}", effective);
    EXPECT_TRUE(GetEffectiveKavexCodeFromOriginal(session, "{BASE}", effective));
    EXPECT_EQ("{BASE}", effective);

    std::set<std::string> found{"stale"};
    EXPECT_TRUE(GetInstalledPatches(session, "{BASE}", found));
    EXPECT_EQ((std::set<std::string>{"{PATCH'1}"}), found);
    EXPECT_FALSE(GetInstalledPatches(session, "{OTHER}", found));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(GetAllInstalledPayloadsThatUpgradePackage(session, "{BASE}", found));
    EXPECT_EQ((std::set<std::string>{"{PATCH'1}"}), found);
    EXPECT_TRUE(GetAllInstalledPayloadsThatUpgradePackage(session, "{OTHER}", found));
    EXPECT_TRUE(found.empty());

    std::string directory;
    EXPECT_TRUE(GetInstallDirectory(session, "{OTHER}", directory));  // follows the upgrade to {BASE}
    EXPECT_EQ("/Applications/Suite", directory);
}

TEST_F(Queries, IntegrityReportsAMissingStoreWithABackup) {
    EXPECT_EQ(kMoxaOK, moxaVerifyIntegrity());
    EXPECT_EQ(kMoxaOK, moxaBackup());
    int seconds = 0;
    EXPECT_EQ(kMoxaOK, moxaGetLastModTime(&seconds));
    EXPECT_GT(seconds, 0);
    unlink(store.StoreFile().c_str());
    EXPECT_EQ(kMoxaErrMissing, moxaVerifyIntegrity());
    EXPECT_EQ(kMoxaErrNotFound, moxaGetLastModTime(&seconds));
}

}  // namespace
