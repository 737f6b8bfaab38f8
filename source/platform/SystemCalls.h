// The system calls through which the copies beside a setup and the store's files reach the
// disk, in one table that tests may swap (as SQLite's os_unix.c does) to make a disk fill up,
// fail, interrupt, or the process die at any one of them. Callers go through Current(); the
// table is swapped only while no other thread works with files.
#ifndef SYSTEM_CALLS_H
#define SYSTEM_CALLS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

struct SystemCalls {
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    ssize_t (*copyFileRange)(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t size, unsigned flags);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to);
    int (*openat)(int folder, const char* name, int flags, mode_t mode);
    int (*fstatat)(int folder, const char* name, struct stat* st, int flags);
    int (*fstat)(int fd, struct stat* st);
    int (*mkdirat)(int folder, const char* name, mode_t mode);
    int (*unlinkat)(int folder, const char* name, int flags);
    int (*symlinkat)(const char* text, int folder, const char* name);
    ssize_t (*readlinkat)(int folder, const char* name, char* buffer, size_t size);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t uid, gid_t gid);
    int (*fchownat)(int folder, const char* name, uid_t uid, gid_t gid, int flags);
    int (*futimens)(int fd, const struct timespec times[2]);
    int (*utimensat)(int folder, const char* name, const struct timespec times[2], int flags);

    static const SystemCalls& Current();
    static const SystemCalls& Real();
    // Puts table in use and returns the one it replaces.
    static SystemCalls Replace(const SystemCalls& table);
};

// Shorthand for the table in use.
inline const SystemCalls& Sys() { return SystemCalls::Current(); }

#endif
