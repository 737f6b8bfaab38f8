// Sessions on the installed-products store.
#ifndef MOXAI_SESSION_H
#define MOXAI_SESSION_H

#include "MoxaiDataStore.h"
#include "MoxaiResultCodes.h"

struct moxaiSession {
    MoxaiDataStore* store;
};

int moxaOpenSession(moxaiSession** session);
int moxaOpenSessionNoCreate(moxaiSession** session);
int moxaCloseSession(moxaiSession* session);
int moxaSessionCommit(moxaiSession* session);
int moxaSessionRollback(moxaiSession* session);
int moxaBackup();
int moxaGetLastModTime(int* seconds);
int moxaVerifyIntegrity();

// A new session on one store file; on failure *session is null and the store's code is returned.
int moxaiOpenStoreSession(moxaiSession** session, const std::string& folder, const char* fileName, const char*** schemas,
                          bool shared);

// The store file, its folder and the backup copy, under the current machine root.
bool moxaiStoreFilePath(std::string& path);
bool moxaiBackupFilePath(std::string& path);

#endif
