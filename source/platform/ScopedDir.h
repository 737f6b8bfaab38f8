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

private:
    ScopedDir(const ScopedDir&) = delete;
    ScopedDir& operator=(const ScopedDir&) = delete;
    DIR* mDir;
};

#endif
