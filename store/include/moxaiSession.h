// Sessions on the installed-products store.
#ifndef MOXAI_SESSION_H
#define MOXAI_SESSION_H

#include <string>

#include "MoxaiResultCodes.h"

class MoxaiDataStore;

// Opaque to the store's users: they go through the functions below and the queries.
struct moxaiSession {
    MoxaiDataStore* store;
    bool backupAtClose = false;  // commits leave the backup to the session's close
};

int moxaOpenSession(moxaiSession** session);
int moxaOpenSessionNoCreate(moxaiSession** session);
[[nodiscard]] int moxaCloseSession(moxaiSession* session);
[[nodiscard]] int moxaSessionCommit(moxaiSession* session);
[[nodiscard]] int moxaSessionRollback(moxaiSession* session);
// A session held across many commits (one per launch) refreshes the backup once, when it
// is closed, instead of at each commit: the backup then holds the store as the run left it.
void moxaSessionBackupAtClose(moxaiSession* session);
[[nodiscard]] int moxaBackup();
int moxaGetLastModTime(int* seconds);
int moxaVerifyIntegrity();

// The patcher's way in: it reads the registry that other installers keep and never
// creates one. A store file that is missing or empty while a non-empty backup is
// there is first restored from the backup (*restored says so). No store: 8.
int moxaOpenExistingSession(moxaiSession** session, bool* restored);
// The first hard failure of any statement of the session (busy, I/O, ...), or 0.
int moxaSessionFailure(const moxaiSession* session);

// A new session on one store file; on failure *session is null and the store's code is returned.
int moxaiOpenStoreSession(moxaiSession** session, const std::string& folder, const char* fileName, const char*** schemas,
                          bool shared);

// The store file, its folder and the backup copy, under the current machine root.
bool moxaiStoreFilePath(std::string& path);
bool moxaiBackupFilePath(std::string& path);

#endif
