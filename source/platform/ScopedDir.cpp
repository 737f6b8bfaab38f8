#include "ScopedDir.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

ScopedDir::ScopedDir(int folderFd) : mDir(nullptr) {
    const int copy = folderFd >= 0 ? fcntl(folderFd, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) return;
    mDir = fdopendir(copy);
    if (mDir == nullptr) {
        close(copy);
        return;
    }
    rewinddir(mDir);  // the duplicate shares the original's position
}

ScopedDir::~ScopedDir() {
    if (mDir != nullptr) closedir(mDir);
}

bool ScopedDir::Names(std::vector<std::string>& names) {
    if (mDir == nullptr) return false;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(mDir);
        if (entry == nullptr) return errno == 0;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.push_back(entry->d_name);
    }
}

bool ScopedDir::Entries(std::vector<Entry>& entries) {
    if (mDir == nullptr) return false;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(mDir);
        if (entry == nullptr) return errno == 0;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        entries.push_back(Entry{entry->d_name, entry->d_type});
    }
}
