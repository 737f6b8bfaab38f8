// Owns every string and list a session hands out, until the session closes.
#ifndef MOXAI_POOL_H
#define MOXAI_POOL_H

#include <vector>

class MoxaiPool {
public:
    MoxaiPool() {}
    ~MoxaiPool();
    void* malloc(unsigned long size);  // null when out of memory; nothing recorded then
    const char* copyString(const char* text);  // null when out of memory

private:
    MoxaiPool(const MoxaiPool&) = delete;
    MoxaiPool& operator=(const MoxaiPool&) = delete;
    std::vector<void*> mBlocks;
};

#endif
