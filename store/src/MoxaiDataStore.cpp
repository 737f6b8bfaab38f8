#include "MoxaiDataStore.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "MoxaReadOnly.h"
#include "MoxaiFiles.h"
#include "MoxaiResultCodes.h"

namespace {

const int kCompatibilityLimit = 2;
const int kBusyTimeoutMilliseconds = 2000;
const char* const kEmptyString = "";
const char* gEmptyList[] = {nullptr};

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

}  // namespace

int moxaiSQLiteErrorMap(int sqliteCode) {
    switch (sqliteCode & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return kMoxaOK;
        case SQLITE_NOMEM: return kMoxaErrNoMemory;
        case SQLITE_IOERR:
        case SQLITE_CORRUPT:
        case SQLITE_FULL:
        case SQLITE_NOTADB: return kMoxaErrIO;
        case SQLITE_CONSTRAINT: return kMoxaErrConstraint;
        case SQLITE_NOTFOUND:
        case SQLITE_EMPTY: return kMoxaErrNotFound;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH: return kMoxaErrAccessDenied;
        case SQLITE_BUSY: return kMoxaErrBusy;
        default: return kMoxaErrDatabase;
    }
}

MoxaiDataStore::MoxaiDataStore() : mState(kMoxaErrFailed), mFirstFailure(kMoxaOK), mDb(nullptr), mSchemas(nullptr) {}

MoxaiDataStore::MoxaiDataStore(const std::string& directory, const std::string& fileName, const char*** schemas,
                               bool shared)
    : mState(kMoxaErrFailed), mFirstFailure(kMoxaOK), mDb(nullptr), mDirectory(directory), mFileName(fileName), mSchemas(schemas) {
    mState = dbOpen();
    if (mState == kMoxaOK && !moxaReadOnly()) moxaiSetDbAccess(mDirectory, mFileName, shared);
}

MoxaiDataStore::~MoxaiDataStore() { dbClose(); }

int MoxaiDataStore::noteFailure(int code) {
    if (code != kMoxaOK && code != kMoxaErrNotFound && code != kMoxaErrConstraint && mFirstFailure == kMoxaOK) {
        mFirstFailure = code;
    }
    return code;
}

int MoxaiDataStore::newestLevel() const {
    int levels = 0;
    while (mSchemas != nullptr && mSchemas[levels] != nullptr) ++levels;
    return levels;
}

void MoxaiDataStore::closeConnection() {
    if (mDb != nullptr) sqlite3_close(mDb);
    mDb = nullptr;
}

int MoxaiDataStore::dbOpen() {
    std::string path;
    if (!moxaiPathAppend(mDirectory, mFileName, path)) return kMoxaErrInvalidArgument;
    if (!moxaiFileExists(path)) {
        if (moxaiPathExists(path)) return kMoxaErrFailed;
        if (moxaReadOnly()) return kMoxaErrNotFound;
        int rc = moxaiCreatePath(mDirectory);
        if (rc != kMoxaOK) return rc;
    }
    const bool readOnly = moxaReadOnly();
    int rc = readOnly ? sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READONLY, nullptr) : sqlite3_open(path.c_str(), &mDb);
    if (rc != SQLITE_OK) {
        closeConnection();
        return moxaiSQLiteErrorMap(rc);
    }
    sqlite3_busy_timeout(mDb, kBusyTimeoutMilliseconds);
    // A cache that holds the whole store, so that a run reads it once; sorting and
    // temporary tables stay in memory instead of spilling to a shared temporary folder.
    // No mmap: a file cut short under a mapping would end the program with SIGBUS.
    sqlite3_exec(mDb, "PRAGMA cache_size = -65536; PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
    mState = kMoxaOK;

    int first = 1;
    const char* value = nullptr;
    int R = querySingle(&value, "SELECT value FROM pcd_meta WHERE key = 'schema_version'");
    if (R == kMoxaErrIO || R == kMoxaErrBusy) {
        // Not a database, a damaged one, or one held by another writer: no schema
        // level can mend that, and a level tried now would only fail the same way.
        closeConnection();
        return R;
    }
    if (R == kMoxaOK) {
        const int version = atoi(value);
        const char* compatibility = nullptr;
        R = querySingle(&compatibility, "SELECT value FROM pcd_meta WHERE key = 'schema_compatibility_version'");
        if (R == kMoxaOK && atoi(compatibility) > kCompatibilityLimit) {
            closeConnection();
            return kMoxaErrIncompatible;
        }
        // Past the newest level nothing is applied; the largest int has no successor.
        first = version >= newestLevel() ? newestLevel() + 1 : version + 1;
    }
    const int newest = readOnly ? first - 1 : newestLevel();
    for (int level = first; level <= newest; ++level) {
        R = loadSchema(level);
        if (R != kMoxaOK) {
            // A reader that cannot write still opens the file at its current level.
            if (level == first) {
                mFirstFailure = kMoxaOK;
                return kMoxaOK;
            }
            closeConnection();
            return R;
        }
    }
    if (first > newest && R != kMoxaOK) {
        closeConnection();
        return R;
    }
    mFirstFailure = kMoxaOK;  // a level that a reader could not write is not a failure of its reads
    return kMoxaOK;
}

int MoxaiDataStore::dbClose() {
    if (mState != kMoxaOK || mDb == nullptr) return kMoxaOK;
    int rc = sqlite3_close(mDb);
    mDb = nullptr;
    mState = kMoxaErrFailed;
    return moxaiSQLiteErrorMap(rc);
}

int MoxaiDataStore::prepare(sqlite3_stmt** statement, const char* format, va_list arguments) {
    *statement = nullptr;
    char* text = sqlite3_vmprintf(format, arguments);
    if (text == nullptr) return kMoxaErrNoMemory;
    if (mState != kMoxaOK) {
        int result = StartsWith(text, "SELECT") ? kMoxaErrNotFound : mState;
        sqlite3_free(text);
        return result;
    }
    int B = kMoxaOK;
    if (sqlite3_get_autocommit(mDb) &&
        (StartsWith(text, "INSERT ") || StartsWith(text, "UPDATE ") || StartsWith(text, "DELETE "))) {
        B = queryNR("BEGIN");
    }
    int rc = sqlite3_prepare_v2(mDb, text, -1, statement, nullptr);
    int result = rc != SQLITE_OK ? moxaiSQLiteErrorMap(rc) : B;
    sqlite3_free(text);
    if (result != kMoxaOK && *statement != nullptr) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    return result;
}

int MoxaiDataStore::vqueryNR(const char* format, va_list arguments) {
    sqlite3_stmt* statement = nullptr;
    int rc = prepare(&statement, format, arguments);
    if (rc != kMoxaOK) return noteFailure(rc);
    if (statement == nullptr) return kMoxaOK;
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    int finalized = sqlite3_finalize(statement);
    if (finalized != SQLITE_OK) return noteFailure(moxaiSQLiteErrorMap(finalized));
    return noteFailure(moxaiSQLiteErrorMap(step));
}

int MoxaiDataStore::queryNR(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int rc = vqueryNR(format, arguments);
    va_end(arguments);
    return rc;
}

int MoxaiDataStore::querySingle(const char** value, const char* format, ...) {
    if (value == nullptr) return kMoxaErrInvalidArgument;
    *value = kEmptyString;
    sqlite3_stmt* statement = nullptr;
    va_list arguments;
    va_start(arguments, format);
    int rc = prepare(&statement, format, arguments);
    va_end(arguments);
    if (rc != kMoxaOK || statement == nullptr) return noteFailure(rc);
    *value = nullptr;
    int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        if (text == nullptr) {
            // Another installer may have stored NULL: hand on empty text, never a null pointer.
            *value = kEmptyString;
            rc = kMoxaOK;
        } else {
            *value = mPool.copyString(reinterpret_cast<const char*>(text));
            rc = *value != nullptr ? kMoxaOK : kMoxaErrNoMemory;
        }
    } else if (step == SQLITE_DONE) {
        rc = kMoxaErrNotFound;
    } else {
        rc = moxaiSQLiteErrorMap(step);
    }
    int finalized = sqlite3_finalize(statement);
    if (finalized != SQLITE_OK) rc = moxaiSQLiteErrorMap(finalized);
    return noteFailure(rc);
}

int MoxaiDataStore::queryList(const char*** list, const char* format, ...) {
    if (list == nullptr) return kMoxaErrInvalidArgument;
    *list = gEmptyList;
    sqlite3_stmt* statement = nullptr;
    va_list arguments;
    va_start(arguments, format);
    int rc = prepare(&statement, format, arguments);
    va_end(arguments);
    if (rc != kMoxaOK || statement == nullptr) return noteFailure(rc);
    std::vector<const char*> entries;
    int step;
    rc = kMoxaOK;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(statement);
        for (int column = 0; column < columns; ++column) {
            const unsigned char* text = sqlite3_column_text(statement, column);
            const char* copy = nullptr;
            if (text != nullptr) {
                copy = mPool.copyString(reinterpret_cast<const char*>(text));
                if (copy == nullptr) rc = kMoxaErrNoMemory;
            }
            entries.push_back(copy);
        }
    }
    if (rc == kMoxaOK && step != SQLITE_DONE) rc = moxaiSQLiteErrorMap(step);
    if (rc == kMoxaOK) {
        if (entries.empty()) {
            rc = kMoxaErrNotFound;
        } else {
            const char** array = static_cast<const char**>(mPool.malloc((entries.size() + 1) * sizeof(const char*)));
            if (array == nullptr) {
                rc = kMoxaErrNoMemory;
            } else {
                for (size_t i = 0; i < entries.size(); ++i) array[i] = entries[i];
                array[entries.size()] = nullptr;
                *list = array;
            }
        }
    }
    int finalized = sqlite3_finalize(statement);
    if (finalized != SQLITE_OK) rc = moxaiSQLiteErrorMap(finalized);
    return noteFailure(rc);
}

int MoxaiDataStore::loadSchema(int level) {
    if (mDb == nullptr) return kMoxaErrFailed;
    if (level < 1) return kMoxaErrInvalidArgument;
    for (int i = 0; i < level; ++i) {
        if (mSchemas == nullptr || mSchemas[i] == nullptr) return kMoxaErrMissing;
    }
    const char** statements = mSchemas[level - 1];
    queryNR("BEGIN");
    for (int i = 0; statements[i] != nullptr; ++i) {
        if (queryNR("%s", statements[i]) != kMoxaOK) {
            queryNR("ROLLBACK");
            return kMoxaErrFailed;
        }
    }
    return queryNR("COMMIT");
}

int MoxaiDataStore::commit() {
    if (mState != kMoxaOK || mDb == nullptr || sqlite3_get_autocommit(mDb)) return kMoxaOK;
    return queryNR("COMMIT");
}

int MoxaiDataStore::rollback() {
    if (mState != kMoxaOK || mDb == nullptr || sqlite3_get_autocommit(mDb)) return kMoxaOK;
    return queryNR("ROLLBACK");
}
