// The system calls through which the copy and the store's files put bytes on disk, in one
// table that tests may swap (as SQLite's os_unix.c does) to make a disk fill up, fail or
// interrupt: short writes, ENOSPC, EIO, EINTR. Callers go through Current(); the table is
// swapped only while no other thread works with files.
#ifndef SYSTEM_CALLS_H
#define SYSTEM_CALLS_H

#include <sys/types.h>

struct SystemCalls {
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    ssize_t (*copyFileRange)(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t size, unsigned flags);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to);

    static const SystemCalls& Current();
    static const SystemCalls& Real();
    // Puts table in use and returns the one it replaces.
    static SystemCalls Replace(const SystemCalls& table);
};

#endif
