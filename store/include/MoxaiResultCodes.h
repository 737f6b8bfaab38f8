// Result codes of every store function.
#ifndef MOXAI_RESULT_CODES_H
#define MOXAI_RESULT_CODES_H

enum {
    kMoxaOK = 0,
    kMoxaErrFailed = 1,
    kMoxaErrNoMemory = 3,
    kMoxaErrIO = 4,
    kMoxaErrMissing = 5,
    kMoxaErrConstraint = 6,
    kMoxaErrNotFound = 8,
    kMoxaErrNoStore = 9,
    kMoxaErrInvalidArgument = 10,
    kMoxaErrAccessDenied = 11,
    kMoxaErrDatabase = 12,
    kMoxaErrIncompatible = 13,
    kMoxaErrBusy = 14
};

// Maps an SQLite result code (primary or extended) onto the codes above.
int moxaiSQLiteErrorMap(int sqliteCode);

#endif
