#include "SystemCalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

const SystemCalls kReal = {::read, ::write, ::copy_file_range, ::fsync, ::close, ::renameat};

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
