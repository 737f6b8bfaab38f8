// A folder of state that only root may change, and the small files in it: every
// folder on the way is root's and writable by root alone (or by root's group, or
// sticky, as the keys folder allows), and no link is followed. A private folder
// (the machine's trust state) also keeps everyone but root out of it.
#ifndef ROOT_ONLY_FOLDER_H
#define ROOT_ONLY_FOLDER_H

#include <sys/stat.h>

#include <string>

#include "UniqueFd.h"

class RootOnlyFolder {
public:
    enum Outcome {
        kAbsent,     // not there (nothing made)
        kOpen,       // or, for Read, the file is read
        kUntrusted,  // why says what others could change
        kDenied      // this user may not look (an ordinary user's check)
    };
    enum Kind { kShared, kPrivate };

    // With create, the missing folders are made: 0755 on the way, the folder itself
    // 0700 when private.
    Outcome Open(const std::string& path, Kind kind, bool create, std::string& why);
    // A regular file of root's alone, at most maxBytes, read without waiting.
    Outcome Read(const std::string& name, size_t maxBytes, std::string& contents, std::string& why) const;
    // Whole or not at all: a temporary file beside it, synced, renamed, the folder synced.
    bool Write(const std::string& name, const std::string& contents, std::string& why) const;
    // Held until the folder is closed: one writer at a time.
    bool Lock(std::string& why) const;

    // Root's, and writable by root alone; a folder above (above) may also be writable by
    // root's group (the shared folders are made 0775), or by anybody when sticky (as /tmp):
    // nobody else can rename what is in it.
    static bool RootsAlone(const struct stat& st, bool above);
    // name in the open folder, as Read does; path names it in why.
    static Outcome ReadAt(int folder, const std::string& path, const std::string& name, size_t maxBytes,
                          std::string& contents, std::string& why);

private:
    UniqueFd mFolder;
    std::string mPath;
};

#endif
