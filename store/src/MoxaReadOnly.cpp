#include "MoxaReadOnly.h"

#include <atomic>

namespace {
std::atomic<bool> gReadOnly{false};
}

void moxaSetReadOnly(bool readOnly) { gReadOnly = readOnly; }
bool moxaReadOnly() { return gReadOnly; }
