// Turns the folder keys of installer descriptions into paths on this machine.
#ifndef FOLDER_RESOLVER_H
#define FOLDER_RESOLVER_H

#include <string>

#include "FileSystemPath.h"

class FolderResolver {
public:
    // False for an unknown key or a folder that cannot be found; path is then unchanged.
    static bool ExpandPathKey(const std::string& key, FileSystemPath& path);
};

#endif
