#include "StoreBuilder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdarg.h>
#include <stdlib.h>

#include "MoxaQueries.h"
#include "PcdStore.h"
#include "TestSandbox.h"
#include "MoxaiDataStore.h"

StoreBuilder::StoreBuilder(const std::string& root) : mRoot(root), mSession(nullptr), mConfig(nullptr), mNextTimestamp(1000) {
    setenv("KAVEX_SYSTEM_ROOT", root.c_str(), 1);
    TestFiles::MakeFolders(root + "/Library/Application Support");
    int rc = moxaOpenSession(&mSession);
    if (rc != kMoxaOK) ADD_FAILURE() << "cannot create the store in " << root << ": " << rc;
}

StoreBuilder::~StoreBuilder() {
    if (mSession != nullptr && moxaCloseSession(mSession) != kMoxaOK) ADD_FAILURE() << "closing the store failed";
    if (mConfig != nullptr && pcdCloseSession(mConfig) != kMoxaOK) ADD_FAILURE() << "closing the configuration store failed";
}

StoreBuilder& StoreBuilder::Run(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* sql = sqlite3_vmprintf(format, args);
    va_end(args);
    int rc = mSession != nullptr ? mSession->store->queryNR("%s", sql) : kMoxaErrNoStore;
    if (rc != kMoxaOK) ADD_FAILURE() << "store builder statement failed (" << rc << "): " << sql;
    sqlite3_free(sql);
    return *this;
}

StoreBuilder& StoreBuilder::Payload(const std::string& code, const std::string& name, const std::string& version,
                                    const std::string& family, const std::string& signature) {
    return Run("INSERT OR REPLACE INTO vorn_payload (payloadID, productFamily, productName, version, signature) "
               "VALUES ('%q', '%q', '%q', '%q', '%q')",
               code.c_str(), family.c_str(), name.c_str(), version.c_str(), signature.c_str());
}

StoreBuilder& StoreBuilder::Collection(const std::string& collectionID, const std::string& payload, int tsInstalled) {
    if (tsInstalled == 0) tsInstalled = ++mNextTimestamp;
    return Run("INSERT INTO vorn_collection (collectionID, collectionPayloadID, tsInstalled, tsModified) "
               "VALUES ('%q', '%q', %d, %d)",
               collectionID.c_str(), payload.c_str(), tsInstalled, tsInstalled);
}

StoreBuilder& StoreBuilder::Member(const std::string& collectionID, const std::string& payload, int installState,
                                   int tsInstalled) {
    if (tsInstalled == 0) tsInstalled = ++mNextTimestamp;
    return Run("INSERT OR REPLACE INTO vorn_collection_payload (collectionID, payloadID, installState, tsInstalled) "
               "VALUES ('%q', '%q', %d, %d)",
               collectionID.c_str(), payload.c_str(), installState, tsInstalled);
}

StoreBuilder& StoreBuilder::Constraint(const std::string& payload, const std::string& target, int type) {
    return Run("INSERT OR REPLACE INTO vorn_payload_constraint (payloadID, payloadIDb, constraintType) VALUES ('%q', '%q', %d)",
               payload.c_str(), target.c_str(), type);
}

StoreBuilder& StoreBuilder::Upgrade(const std::string& original, const std::string& upgraded) {
    return Run("INSERT INTO upgraded_payloads (payloadIDOriginal, payloadIDUpgraded) VALUES ('%q', '%q')",
               original.c_str(), upgraded.c_str());
}

StoreBuilder& StoreBuilder::PayloadData(const std::string& payload, int domain, const std::string& key,
                                        const std::string& value) {
    int rc = moxaSetPayloadData(mSession, payload.c_str(), domain, key.c_str(), value.c_str());
    if (rc != kMoxaOK) ADD_FAILURE() << "payload data " << payload << "/" << key << " failed: " << rc;
    return *this;
}

StoreBuilder& StoreBuilder::CollectionData(const std::string& collectionID, int domain, const std::string& key,
                                           const std::string& value) {
    int rc = moxaSetCollectionData(mSession, collectionID.c_str(), domain, key.c_str(), value.c_str());
    if (rc != kMoxaOK) ADD_FAILURE() << "collection data " << collectionID << "/" << key << " failed: " << rc;
    return *this;
}

StoreBuilder& StoreBuilder::ConfigData(int domain, const std::string& subdomain, const std::string& key,
                                       const std::string& value) {
    if (mConfig == nullptr) {
        int rc = pcdOpenSession(&mConfig);
        if (rc != kMoxaOK) ADD_FAILURE() << "cannot create the configuration store: " << rc;
    }
    int rc = pcdSetDomainData(mConfig, domain, subdomain.c_str(), key.c_str(), value.c_str());
    if (rc != kMoxaOK) ADD_FAILURE() << "configuration data " << subdomain << "/" << key << " failed: " << rc;
    return *this;
}

StoreBuilder& StoreBuilder::Product(const std::string& code, const std::string& name, const std::string& version,
                                    const std::vector<std::string>& sessions) {
    Payload(code, name, version);
    for (const std::string& session : sessions) {
        Collection(session, code);
        Member(session, code, kMoxaStateInstalled);
        CollectionData(session, 5, "sessionID", session);
    }
    return *this;
}

StoreBuilder& StoreBuilder::Sql(const std::string& statement) { return Run("%s", statement.c_str()); }

void StoreBuilder::Save() {
    if (mSession != nullptr) {
        EXPECT_EQ(kMoxaOK, moxaSessionCommit(mSession));
    }
    if (mConfig != nullptr) {
        EXPECT_EQ(kMoxaOK, pcdSessionCommit(mConfig));
    }
}

std::string StoreBuilder::StoreFile() const { return mRoot + "/Library/Application Support/Kavex/moxa/moxa.db"; }
std::string StoreBuilder::ConfigFile() const { return mRoot + "/Library/Application Support/Kavex/Kavex PCD/pcd.db"; }
