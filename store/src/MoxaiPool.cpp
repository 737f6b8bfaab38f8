#include "MoxaiPool.h"

#include <stdlib.h>
#include <string.h>

#include <new>

MoxaiPool::~MoxaiPool() {
    for (void* block : mBlocks) free(block);
}

void* MoxaiPool::malloc(unsigned long size) {
    void* block = ::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    try {
        mBlocks.push_back(block);
    } catch (const std::bad_alloc&) {
        free(block);
        return nullptr;
    }
    return block;
}

const char* MoxaiPool::copyString(const char* text) {
    const size_t length = strlen(text);
    char* copy = static_cast<char*>(this->malloc(length + 1));
    if (copy != nullptr) memcpy(copy, text, length + 1);
    return copy;
}
