// A folder listing read through an already open descriptor, closed with its owner.
#ifndef SCOPED_DIR_H
#define SCOPED_DIR_H

#include <dirent.h>

#include <string>
#include <vector>

class ScopedDir {
public:
    // Takes a duplicate of folderFd: the caller keeps its own descriptor.
    explicit ScopedDir(int folderFd);
    ~ScopedDir();
    bool valid() const { return mDir != nullptr; }
    // Every name but "." and ".."; false when the listing broke off.
    bool Names(std::vector<std::string>& names);
    // The same with each entry's type as the listing tells it (DT_REG, DT_DIR, DT_LNK...;
    // DT_UNKNOWN where the file system does not say): a hint that spares a stat, never a
    // promise, since the entry may be replaced before it is opened.
    struct Entry {
        std::string name;
        unsigned char type;
    };
    bool Entries(std::vector<Entry>& entries);

private:
    ScopedDir(const ScopedDir&) = delete;
    ScopedDir& operator=(const ScopedDir&) = delete;
    DIR* mDir;
};

#endif
