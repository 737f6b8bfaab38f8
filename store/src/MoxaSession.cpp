#include <new>

#include "MOQLogger.h"
#include "MoxaReadOnly.h"
#include "AtomicFileWriter.h"
#include "MoxaiFiles.h"
#include "MoxaiSchemas.h"
#include "moxaiSession.h"
#include "MoxaiDataStore.h"

namespace {
const char* const dbDir = "moxa";
const char* const dbName = "moxa.db";
const char* const dbBackupDir = "backup";

bool StoreFolder(std::string& folder) {
    std::string base;
    return moxaiDbPath(base) && moxaiPathAppend(base, dbDir, folder);
}

bool BackupFolder(std::string& folder) {
    std::string base;
    return moxaiDbPath(base) && moxaiPathAppend(base, dbBackupDir, folder);
}
}  // namespace

bool moxaiStoreFilePath(std::string& path) {
    std::string folder;
    return StoreFolder(folder) && moxaiPathAppend(folder, dbName, path);
}

bool moxaiBackupFilePath(std::string& path) {
    std::string folder;
    return BackupFolder(folder) && moxaiPathAppend(folder, dbName, path);
}

int moxaiOpenStoreSession(moxaiSession** session, const std::string& folder, const char* fileName, const char*** schemas,
                          bool shared) {
    moxaiSession* created = new (std::nothrow) moxaiSession();  // value-initialized: backups at each commit
    if (created == nullptr) return kMoxaErrFailed;
    created->store = new (std::nothrow) MoxaiDataStore(folder, fileName, schemas, shared);
    int state = created->store != nullptr ? created->store->state() : kMoxaErrNoMemory;
    if (state != kMoxaOK) {
        delete created->store;
        delete created;
        *session = nullptr;
        return state;
    }
    *session = created;
    return kMoxaOK;
}

int moxaOpenSession(moxaiSession** session) {
    if (session == nullptr) return kMoxaErrInvalidArgument;
    std::string folder;
    if (!StoreFolder(folder)) return kMoxaErrFailed;
    // A new store created over a lost one would later be copied over its backup.
    if (moxaVerifyIntegrity() == kMoxaErrMissing) return kMoxaErrMissing;
    return moxaiOpenStoreSession(session, folder, dbName, gMoxaSchemas, false);
}

int moxaOpenSessionNoCreate(moxaiSession** session) {
    std::string path;
    if (moxaReadOnly() && session != nullptr && moxaVerifyIntegrity() == kMoxaErrMissing) {
        // Only looking: read the copy that a run would restore, where it lies.
        std::string folder;
        if (!BackupFolder(folder)) return kMoxaErrFailed;
        return moxaiOpenStoreSession(session, folder, dbName, gMoxaSchemas, false);
    }
    // An empty file would take a fresh schema: that is creating, not opening.
    if (!moxaiStoreFilePath(path) || !moxaiNonEmptyFile(path)) return kMoxaErrNotFound;
    return moxaOpenSession(session);
}

int moxaOpenExistingSession(moxaiSession** session, bool* restored) {
    if (restored != nullptr) *restored = false;
    if (session == nullptr) return kMoxaErrInvalidArgument;
    *session = nullptr;
    std::string store, backup;
    if (!moxaiStoreFilePath(store)) return kMoxaErrFailed;
    // A backup's temporary that a killed run left (its writer gone) goes at the next start.
    if (!moxaReadOnly() && moxaiBackupFilePath(backup)) AtomicFileWriter::RemoveStale(backup);
    if (!moxaiNonEmptyFile(store) && moxaVerifyIntegrity() == kMoxaErrMissing) {
        if (moxaReadOnly()) return moxaOpenSessionNoCreate(session);
        if (!moxaiBackupFilePath(backup) || !moxaiCopyDatabaseFile(backup, store)) return kMoxaErrIO;
        if (restored != nullptr) *restored = true;
    }
    return moxaOpenSessionNoCreate(session);
}

int moxaSessionFailure(const moxaiSession* session) {
    if (session == nullptr || session->store == nullptr) return kMoxaErrNoStore;
    return session->store->firstFailure();
}

namespace {
int Commit(moxaiSession* session, bool closing) {
    if (session == nullptr) return kMoxaErrInvalidArgument;
    if (session->store != nullptr) {
        int rc = session->store->commit();
        if (rc != kMoxaOK) return rc;
    }
    // Best effort: the store itself was written, so the commit stands; the log says why
    // the copy lags (an emptied store is never backed up, on purpose).
    if (!moxaReadOnly() && (closing || !session->backupAtClose)) {
        const int backedUp = moxaBackup();
        if (backedUp != kMoxaOK && backedUp != kMoxaErrNotFound) {
            MOQ_LOG("The installed-products store's backup could not be refreshed (store code %d)\n", backedUp);
        }
    }
    return kMoxaOK;
}
}  // namespace

int moxaSessionCommit(moxaiSession* session) { return Commit(session, false); }

void moxaSessionBackupAtClose(moxaiSession* session) {
    if (session != nullptr) session->backupAtClose = true;
}

int moxaSessionRollback(moxaiSession* session) {
    if (session == nullptr) return kMoxaErrInvalidArgument;
    return session->store != nullptr ? session->store->rollback() : kMoxaOK;
}

int moxaCloseSession(moxaiSession* session) {
    if (session == nullptr) return kMoxaErrInvalidArgument;
    // The session's first failure is the one its owner must hear of: a later step that
    // succeeds, or fails for the same cause, must not hide it.
    int rc = moxaSessionFailure(session);
    const int committed = Commit(session, true);
    if (rc == kMoxaOK || rc == kMoxaErrNoStore) rc = committed;
    if (session->store != nullptr) {
        const int closed = session->store->dbClose();
        if (rc == kMoxaOK) rc = closed;
        delete session->store;
    }
    delete session;
    return rc;
}

int moxaBackup() {
    std::string store, folder, backup;
    // An emptied store must never replace the copy that could restore it.
    if (!moxaiStoreFilePath(store) || !moxaiNonEmptyFile(store)) return kMoxaErrNotFound;
    if (!BackupFolder(folder) || !moxaiPathAppend(folder, dbName, backup)) return kMoxaErrNotFound;
    int rc = moxaiDirectoryExists(folder) ? kMoxaOK : moxaiCreateDirectory(folder);
    // A backup written after the store's last change already holds what a copy would.
    if (rc == kMoxaOK && moxaiBackupIsCurrent(store, backup)) return kMoxaOK;
    if (!moxaiCopyDatabaseFile(store, backup)) rc = kMoxaErrIO;
    return rc;
}

int moxaGetLastModTime(int* seconds) {
    if (seconds == nullptr) return kMoxaErrInvalidArgument;
    std::string path;
    if (!moxaiStoreFilePath(path) || !moxaiFileExists(path)) return kMoxaErrNotFound;
    *seconds = moxaiGetFileModTime(path);
    return kMoxaOK;
}

int moxaVerifyIntegrity() {
    std::string store, backup;
    // An emptied store is as lost as a missing one.
    if (moxaiStoreFilePath(store) && !moxaiNonEmptyFile(store) && !moxaiDirectoryExists(store) &&
        moxaiBackupFilePath(backup) && moxaiNonEmptyFile(backup)) {
        return kMoxaErrMissing;
    }
    return kMoxaOK;
}
