#include "NamedLockProbe.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include "NamedLock.h"
#include "ProcessUtilsMac.h"

namespace {

// The last process to operate on a set at 0 is the one that took it.
void FindHolder(int key, NamedLockProbe& probe) {
    const int id = semget(key, 1, 0);
    if (id < 0) return;
    const int pid = semctl(id, 0, GETPID);
    if (pid <= 0) return;
    const std::optional<std::string> name = ProcessUtilsMac::CommandName(pid);
    if (!name) return;  // gone: its pid says nothing any more
    probe.holderPid = pid;
    probe.holderName = *name;
}

}  // namespace

NamedLockProbe NamedLockProbe::Probe(const std::string& name) {
    NamedLockProbe probe;
    probe.name = name;
    int key = 0;
    if (!NamedLock::KeyForName(name, key)) return probe;
    if (geteuid() == 0) {
        probe.state = NamedLock::IsLocked(name) ? kBusy : kFree;
    } else {
        const int id = semget(key, 1, 0);
        if (id < 0) {
            probe.state = errno == ENOENT ? kFree : kUnknown;
        } else {
            const int value = semctl(id, 0, GETVAL);
            probe.state = value < 0 ? kUnknown : value == 0 ? kBusy : kFree;
        }
    }
    if (probe.state == kBusy) FindHolder(key, probe);
    return probe;
}
