// Queries and updates of the installed-products store.
#ifndef MOXA_QUERIES_H
#define MOXA_QUERIES_H

#include <string>
#include <vector>

#include "moxaiSession.h"

// Install states: 0 not installed, 2 installed; as an argument 4 means any state.
const int kMoxaStateNotInstalled = 0;
const int kMoxaStateInstalled = 2;
const int kMoxaStateAny = 4;
// Payload data domains: 0 what a product holds now (a moved product's folders are
// written back here), 5 what its installation recorded (media, source, session).
const int kMoxaDomainCurrent = 0;
const int kMoxaDomainInstallation = 5;
// Constraint type 1: payloadID upgrades (is a patch of) payloadIDb.
const int kMoxaConstraintUpgrades = 1;

struct moxaCollectionRecord {
    const char* collectionID;
    const char* collectionPayloadID;
    int tsInstalled;
    int tsModified;
};

struct moxaPayloadRecord {
    const char* payloadID;
    const char* productFamily;
    const char* productName;
    const char* version;
    const char* signature;
};

int moxaGetCollections(moxaiSession* session, const char*** list);
int moxaGetPayloads(moxaiSession* session, int state, const char*** list);
int moxaGetPayloadCollections(moxaiSession* session, int state, const char* payloadID, const char*** list);
int moxaGetPayloadCollectionsAcrossUpgrades(moxaiSession* session, int state, const char* payloadID, const char*** list);
int moxaGetCollectionPayloads(moxaiSession* session, int state, const char* collectionID, const char*** list);

int moxaGetPayloadConstraint(moxaiSession* session, const char* payloadID, int type, const char*** list);
int moxaGetUpgradedPayloadsKeysAndValues(moxaiSession* session, const char*** list);
// Every membership in the given state as payload, collection pairs, earliest installation first.
int moxaGetMembershipsInState(moxaiSession* session, int state, const char*** list);
// Every membership of these payloads, in any state, as payload, collection pairs, earliest installation first.
int moxaGetMembershipsOf(moxaiSession* session, const std::vector<std::string>& payloadIDs, const char*** list);

int moxaGetCollectionDataKeys(moxaiSession* session, const char* collectionID, int domain, const char*** list);
int moxaGetCollectionDataKeysAndValues(moxaiSession* session, const char* collectionID, int domain, const char*** list);
int moxaGetPayloadDataKeys(moxaiSession* session, const char* payloadID, int domain, const char*** list);
int moxaGetPayloadDataKeysAndValues(moxaiSession* session, const char* payloadID, int domain, const char*** list);
int moxaGetCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key, const char** value);
int moxaGetPayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key, const char** value);
int moxaGetInstallState(moxaiSession* session, const char* collectionID, const char* payloadID, int* state);
[[nodiscard]] int moxaSetPayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key, const char* value);
[[nodiscard]] int moxaRemovePayloadData(moxaiSession* session, const char* payloadID, int domain, const char* key);
[[nodiscard]] int moxaRemovePayloadDomainData(moxaiSession* session, const char* payloadID, int domain);
[[nodiscard]] int moxaSetCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key, const char* value);
[[nodiscard]] int moxaRemoveCollectionData(moxaiSession* session, const char* collectionID, int domain, const char* key);
[[nodiscard]] int moxaRemoveCollectionDomainData(moxaiSession* session, const char* collectionID, int domain);

int moxaGetCollection(moxaiSession* session, const char* collectionID, moxaCollectionRecord* record);
int moxaGetPayload(moxaiSession* session, const char* payloadID, moxaPayloadRecord* record);

#endif
