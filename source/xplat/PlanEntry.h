// One launch of the installation plan, and an installation the plan leaves out.
#ifndef PLAN_ENTRY_H
#define PLAN_ENTRY_H

#include <cstdint>
#include <string>

#include "FileSystemPath.h"

// A patch in one installation of its base product, and how its launch went.
struct PlanEntry {
    std::string code;
    std::string parentCode;
    std::string sessionID;
    std::string displayName;
    FileSystemPath setupFolder{"/"};
    std::string installFolder;  // empty when unknown
    FileSystemPath extensionsFolder{"/"};
    FileSystemPath proxyPath{"/"};
    uint64_t size = 0;
    bool done = false;
    int32_t result = -1;  // the launch's code, -1 before it ran
    std::string product;  // the base product's name
};

// An installation left out of the plan because the store records the patch there already:
// the page counts it as installed and the check says why nothing runs there.
struct HeldEntry {
    std::string code;
    std::string displayName;
    std::string sessionID;
    std::string product;
    std::string installFolder;
};

#endif
