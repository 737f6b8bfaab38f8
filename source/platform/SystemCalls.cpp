#include "SystemCalls.h"

#include <stdio.h>
#include <unistd.h>

namespace {

int OpenAt(int folder, const char* name, int flags, mode_t mode) { return ::openat(folder, name, flags, mode); }

const SystemCalls kReal = {::read,      ::write,     ::copy_file_range, ::fsync,      ::close,    ::renameat,
                           OpenAt,      ::fstatat,   ::fstat,           ::mkdirat,    ::unlinkat, ::symlinkat,
                           ::readlinkat, ::fchmod,   ::fchown,          ::fchownat,   ::futimens, ::utimensat};

SystemCalls& InUse() {
    static SystemCalls table = kReal;
    return table;
}

}  // namespace

const SystemCalls& SystemCalls::Current() { return InUse(); }

const SystemCalls& SystemCalls::Real() { return kReal; }

SystemCalls SystemCalls::Replace(const SystemCalls& table) {
    const SystemCalls previous = InUse();
    InUse() = table;
    return previous;
}
