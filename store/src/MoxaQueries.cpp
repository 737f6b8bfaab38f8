#include "MoxaQueries.h"
#include "MoxaiDataStore.h"

#include <sqlite3.h>
#include <stdlib.h>

namespace {

bool ValidState(int state) { return state >= 0 && state <= 4; }
bool ValidType(int type) { return type >= 0 && type <= 2; }

// Common frame of the record reads: they run outside any transaction.
int ReadRecord(moxaiSession* session, int columns, const char** fields, const char* format, const char* code) {
    if (session->store == nullptr) return kMoxaErrNoStore;
    char* sql = sqlite3_mprintf(format, code);
    if (sql == nullptr) return kMoxaErrNoMemory;
    MoxaiDataStore& store = *session->store;
    if (store.state() != kMoxaOK) {
        sqlite3_free(sql);
        return kMoxaErrNotFound;
    }
    char** table = nullptr;
    int rows = 0, count = 0;
    int rc = sqlite3_get_table(store.connection(), sql, &table, &rows, &count, nullptr);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) {
        sqlite3_free_table(table);
        return moxaiSQLiteErrorMap(rc);
    }
    if (rows < 1) {
        sqlite3_free_table(table);
        return kMoxaErrNotFound;
    }
    if (count != columns) {
        sqlite3_free_table(table);
        return kMoxaErrDatabase;
    }
    rc = kMoxaOK;
    for (int i = 0; i < columns; ++i) {
        const char* field = table[columns + i];  // the first row follows the header row
        fields[i] = store.pool().copyString(field != nullptr ? field : "");
        if (fields[i] == nullptr) rc = kMoxaErrNoMemory;
    }
    sqlite3_free_table(table);
    return rc;
}

}  // namespace

#define REQUIRE(condition) \
    if (session == nullptr || !(condition)) return kMoxaErrInvalidArgument
#define STORE (*session->store)
#define REQUIRE_STORE \
    if (session->store == nullptr) return kMoxaErrNoStore

int moxaGetCollections(moxaiSession* session, const char*** list) {
    REQUIRE(list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT collectionID FROM vorn_collection ORDER BY tsInstalled");
}

int moxaGetPayloads(moxaiSession* session, int state, const char*** list) {
    REQUIRE(list && ValidState(state));
    REQUIRE_STORE;
    if (state == kMoxaStateAny) return STORE.queryList(list, "SELECT DISTINCT payloadID FROM vorn_collection_payload ORDER BY tsInstalled");
    return STORE.queryList(list, "SELECT DISTINCT payloadID FROM vorn_collection_payload WHERE installState = %d ORDER BY tsInstalled", state);
}

int moxaGetPayloadCollections(moxaiSession* session, int state, const char* payloadID, const char*** list) {
    REQUIRE(payloadID && list && ValidState(state));
    REQUIRE_STORE;
    if (state == kMoxaStateAny) {
        return STORE.queryList(list, "SELECT collectionID FROM vorn_collection_payload WHERE payloadID = '%q' ORDER BY tsInstalled", payloadID);
    }
    return STORE.queryList(list, "SELECT collectionID FROM vorn_collection_payload WHERE payloadID = '%q' AND installState = %d ORDER BY tsInstalled", payloadID, state);
}

int moxaGetPayloadCollectionsAcrossUpgrades(moxaiSession* session, int state, const char* payloadID, const char*** list) {
    REQUIRE(payloadID && list && ValidState(state));
    REQUIRE_STORE;
    if (state == kMoxaStateAny) {
        return STORE.queryList(list, "SELECT collectionID FROM vorn_collection_payload WHERE payloadID = '%q' OR payloadID IN (SELECT payloadIDOriginal FROM upgraded_payloads WHERE payloadIDUpgraded = '%q') ORDER BY tsInstalled", payloadID, payloadID);
    }
    return STORE.queryList(list, "SELECT collectionID FROM vorn_collection_payload WHERE (payloadID = '%q'  OR payloadID IN (SELECT payloadIDOriginal FROM upgraded_payloads WHERE payloadIDUpgraded = '%q')) AND installState = %d ORDER BY tsInstalled", payloadID, payloadID, state);
}

int moxaGetCollectionPayloads(moxaiSession* session, int state, const char* collectionID, const char*** list) {
    REQUIRE(collectionID && list && ValidState(state));
    REQUIRE_STORE;
    if (state == kMoxaStateAny) {
        return STORE.queryList(list, "SELECT payloadID FROM vorn_collection_payload WHERE collectionID = '%q'", collectionID);
    }
    return STORE.queryList(list, "SELECT payloadID FROM vorn_collection_payload WHERE collectionID = '%q' AND installState = %d ORDER BY tsInstalled", collectionID, state);
}

int moxaGetPayloadConstraint(moxaiSession* session, const char* payloadID, int type, const char*** list) {
    REQUIRE(payloadID && list && ValidType(type));
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT payloadIDb FROM vorn_payload_constraint WHERE payloadID = '%q' AND constraintType = %d", payloadID, type);
}

int moxaGetUpgradedPayloadsKeysAndValues(moxaiSession* session, const char*** list) {
    REQUIRE(list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT payloadIDOriginal,payloadIDUpgraded FROM upgraded_payloads");
}

int moxaGetMembershipsInState(moxaiSession* session, int state, const char*** list) {
    REQUIRE(list);
    REQUIRE_STORE;
    return STORE.queryList(list,
                           "SELECT payloadID,collectionID FROM vorn_collection_payload WHERE installState = %d ORDER BY tsInstalled",
                           state);
}

int moxaGetMembershipsOf(moxaiSession* session, const std::vector<std::string>& payloadIDs, const char*** list) {
    REQUIRE(list);
    REQUIRE_STORE;
    // One pass over the table (it has no index by payload) for all of them, each quoted by SQLite.
    std::string codes;
    for (const std::string& payloadID : payloadIDs) {
        char* quoted = sqlite3_mprintf("%Q", payloadID.c_str());
        if (quoted == nullptr) return kMoxaErrNoMemory;
        if (!codes.empty()) codes += ',';
        codes += quoted;
        sqlite3_free(quoted);
    }
    return STORE.queryList(
        list, "SELECT payloadID,collectionID FROM vorn_collection_payload WHERE payloadID IN (%s) ORDER BY tsInstalled",
        codes.c_str());
}

int moxaGetCollectionDataKeys(moxaiSession* session, const char* collectionID, int domain, const char*** list) {
    REQUIRE(collectionID && list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT key FROM collection_data WHERE collectionID = '%q' AND domain = %d", collectionID, domain);
}

int moxaGetCollectionDataKeysAndValues(moxaiSession* session, const char* collectionID, int domain, const char*** list) {
    REQUIRE(collectionID && list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT key,value FROM collection_data WHERE collectionID = '%q' AND domain = %d", collectionID, domain);
}

int moxaGetPayloadDataKeys(moxaiSession* session, const char* payloadID, int domain, const char*** list) {
    REQUIRE(payloadID && list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT key FROM payload_data WHERE payloadID = '%q' AND domain = %d", payloadID, domain);
}

int moxaGetPayloadDataKeysAndValues(moxaiSession* session, const char* payloadID, int domain, const char*** list) {
    REQUIRE(payloadID && list);
    REQUIRE_STORE;
    return STORE.queryList(list, "SELECT key,value FROM payload_data WHERE payloadID = '%q' AND domain = %d", payloadID, domain);
}

int moxaGetCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key, const char** value) {
    REQUIRE(collectionID && key && value);
    REQUIRE_STORE;
    return STORE.querySingle(value, "SELECT value FROM collection_data WHERE collectionID = '%q' AND domain = %d AND key = '%q'", collectionID, domain, key);
}

int moxaGetPayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key, const char** value) {
    REQUIRE(payloadID && key && value);
    REQUIRE_STORE;
    return STORE.querySingle(value, "SELECT value FROM payload_data WHERE payloadID = '%q' AND domain = %d AND key = '%q'", payloadID, domain, key);
}

int moxaGetInstallState(moxaiSession* session, const char* collectionID, const char* payloadID, int* state) {
    REQUIRE(collectionID && payloadID && state);
    REQUIRE_STORE;
    const char* value = nullptr;
    int rc = STORE.querySingle(&value, "SELECT installState FROM vorn_collection_payload WHERE collectionID = '%q' AND payloadID = '%q'", collectionID, payloadID);
    *state = value != nullptr ? atoi(value) : 0;
    return rc;
}

int moxaRemovePayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key) {
    REQUIRE(payloadID && key);
    REQUIRE_STORE;
    return STORE.queryNR("DELETE FROM payload_data WHERE payloadID = '%q' AND domain = %d AND key = '%q'", payloadID, domain, key);
}

int moxaSetPayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key, const char* value) {
    REQUIRE(payloadID && key);
    REQUIRE_STORE;
    if (value == nullptr) return moxaRemovePayloadData(session, payloadID, domain, key);
    return STORE.queryNR("INSERT OR REPLACE INTO payload_data (payloadID, domain, key, value) VALUES ('%q', %d, '%q', '%q')", payloadID, domain, key, value);
}

int moxaRemovePayloadDomainData(moxaiSession* session, const char* payloadID, int domain) {
    REQUIRE(payloadID);
    REQUIRE_STORE;
    return STORE.queryNR("DELETE FROM payload_data WHERE payloadID = '%q' AND domain = %d", payloadID, domain);
}

int moxaRemoveCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key) {
    REQUIRE(collectionID && key);
    REQUIRE_STORE;
    return STORE.queryNR("DELETE FROM collection_data WHERE collectionID = '%q' AND domain = %d AND key = '%q'", collectionID, domain, key);
}

int moxaSetCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key, const char* value) {
    REQUIRE(collectionID && key);
    REQUIRE_STORE;
    if (value == nullptr) return moxaRemoveCollectionData(session, collectionID, domain, key);
    return STORE.queryNR("INSERT OR REPLACE INTO collection_data (collectionID, domain, key, value) VALUES ('%q', %d, '%q', '%q')", collectionID, domain, key, value);
}

int moxaRemoveCollectionDomainData(moxaiSession* session, const char* collectionID, int domain) {
    REQUIRE(collectionID);
    REQUIRE_STORE;
    return STORE.queryNR("DELETE FROM collection_data WHERE collectionID = '%q' AND domain = %d", collectionID, domain);
}

int moxaGetCollection(moxaiSession* session, const char* collectionID, moxaCollectionRecord* record) {
    REQUIRE(collectionID && record);
    const char* fields[4];
    int rc = ReadRecord(session, 4, fields, "SELECT collectionID, collectionPayloadID, tsInstalled, tsModified FROM vorn_collection WHERE collectionID = '%q'", collectionID);
    if (rc != kMoxaOK) return rc;
    record->collectionID = fields[0];
    record->collectionPayloadID = fields[1];
    record->tsInstalled = atoi(fields[2]);
    record->tsModified = atoi(fields[3]);
    return kMoxaOK;
}

int moxaGetPayload(moxaiSession* session, const char* payloadID, moxaPayloadRecord* record) {
    REQUIRE(payloadID && record);
    const char* fields[5];
    int rc = ReadRecord(session, 5, fields, "SELECT payloadID, productFamily, productName, version, signature FROM vorn_payload WHERE payloadID = '%q'", payloadID);
    if (rc != kMoxaOK) return rc;
    record->payloadID = fields[0];
    record->productFamily = fields[1];
    record->productName = fields[2];
    record->version = fields[3];
    record->signature = fields[4];
    return kMoxaOK;
}
