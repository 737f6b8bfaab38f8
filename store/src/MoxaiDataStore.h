// One SQLite connection on one store file, with its schema levels and string pool.
#ifndef MOXAI_DATA_STORE_H
#define MOXAI_DATA_STORE_H

#include <stdarg.h>

#include <string>

#include "MoxaiPool.h"

struct sqlite3;
struct sqlite3_stmt;

class MoxaiDataStore {
public:
    MoxaiDataStore();
    MoxaiDataStore(const std::string& directory, const std::string& fileName, const char*** schemas, bool shared);
    ~MoxaiDataStore();

    int state() const { return mState; }
    sqlite3* connection() const { return mDb; }
    MoxaiPool& pool() { return mPool; }

    int dbOpen();
    int dbClose();
    int prepare(sqlite3_stmt** statement, const char* format, va_list arguments);
    int queryNR(const char* format, ...);
    int querySingle(const char** value, const char* format, ...);
    int queryList(const char*** list, const char* format, ...);
    int loadSchema(int level);
    int commit();
    int rollback();
    // The first hard failure (busy, I/O, ...) of any statement since the open: a
    // reader that got nothing must not take "nothing" for an answer. 0 when none.
    int firstFailure() const { return mFirstFailure; }

private:
    MoxaiDataStore(const MoxaiDataStore&) = delete;
    MoxaiDataStore& operator=(const MoxaiDataStore&) = delete;
    int newestLevel() const;
    void closeConnection();
    int vqueryNR(const char* format, va_list arguments);
    int noteFailure(int code);

    int mState;
    int mFirstFailure;
    sqlite3* mDb;
    MoxaiPool mPool;
    std::string mDirectory;
    std::string mFileName;
    const char*** mSchemas;
};

#endif
