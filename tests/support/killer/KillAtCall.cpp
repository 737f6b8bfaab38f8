// The program as built for the test that kills it at every step: each call of the
// system-call table is counted, before it is made. KAVEX_TEST_KILL_AT=N: the process
// kills itself (SIGKILL) at the N-th. KAVEX_TEST_CALL_TRACE=FILE: at exit, one letter per
// call made, in order (see Kinds). Never part of the bundle that ships.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "SystemCalls.h"

namespace {

SystemCalls gReal;
long gCalls = 0;
long gKillAt = 0;
std::string gTrace;
const char* gTracePath = nullptr;

void Count(char kind) {
    ++gCalls;
    if (gTracePath != nullptr) gTrace += kind;
    if (gCalls == gKillAt) kill(getpid(), SIGKILL);
}

template <auto member, char kind, typename R, typename... A>
R Counted(A... args) {
    Count(kind);
    return (gReal.*member)(args...);
}

template <auto member, char kind, typename R, typename... A>
void Wrap(R (*&slot)(A...)) {
    slot = &Counted<member, kind, R, A...>;
}

void WriteTrace() {
    if (FILE* out = fopen(gTracePath, "w")) {
        fwrite(gTrace.data(), 1, gTrace.size(), out);
        fclose(out);
    }
}

// Kinds: r read, w write, c copy range, s fsync, x close, m rename, o open, t stat, f fstat, d mkdir,
// u unlink, l symlink, k readlink, p fchmod, n fchown, N fchownat, i futimens, I utimensat.
struct Install {
    Install() {
        const char* at = getenv("KAVEX_TEST_KILL_AT");
        gKillAt = at != nullptr ? atol(at) : 0;
        gTracePath = getenv("KAVEX_TEST_CALL_TRACE");
        if (gKillAt <= 0 && gTracePath == nullptr) return;
        gReal = SystemCalls::Real();
        SystemCalls table = gReal;
        Wrap<&SystemCalls::read, 'r'>(table.read);
        Wrap<&SystemCalls::write, 'w'>(table.write);
        Wrap<&SystemCalls::copyFileRange, 'c'>(table.copyFileRange);
        Wrap<&SystemCalls::fsync, 's'>(table.fsync);
        Wrap<&SystemCalls::close, 'x'>(table.close);
        Wrap<&SystemCalls::renameat, 'm'>(table.renameat);
        Wrap<&SystemCalls::openat, 'o'>(table.openat);
        Wrap<&SystemCalls::fstatat, 't'>(table.fstatat);
        Wrap<&SystemCalls::fstat, 'f'>(table.fstat);
        Wrap<&SystemCalls::mkdirat, 'd'>(table.mkdirat);
        Wrap<&SystemCalls::unlinkat, 'u'>(table.unlinkat);
        Wrap<&SystemCalls::symlinkat, 'l'>(table.symlinkat);
        Wrap<&SystemCalls::readlinkat, 'k'>(table.readlinkat);
        Wrap<&SystemCalls::fchmod, 'p'>(table.fchmod);
        Wrap<&SystemCalls::fchown, 'n'>(table.fchown);
        Wrap<&SystemCalls::fchownat, 'N'>(table.fchownat);
        Wrap<&SystemCalls::futimens, 'i'>(table.futimens);
        Wrap<&SystemCalls::utimensat, 'I'>(table.utimensat);
        SystemCalls::Replace(table);
        if (gTracePath != nullptr) atexit(WriteTrace);
    }
} gInstall;

}  // namespace
