// Whether a family lock is held, and by which process where the system can tell.
#ifndef NAMED_LOCK_PROBE_H
#define NAMED_LOCK_PROBE_H

#include <string>

class NamedLockProbe {
public:
    enum State { kFree, kBusy, kUnknown };

    // Root takes the lock and gives it back at once, as a run would take it; an
    // ordinary user only reads the semaphore and creates none. Unknown: the set
    // is there but this user may not read it.
    static NamedLockProbe Probe(const std::string& name);

    std::string name;
    State state = kUnknown;
    int holderPid = 0;  // 0 when nobody can tell
    std::string holderName;
};

#endif
