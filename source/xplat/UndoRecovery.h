// What an earlier run's launch left undecided, finished before this run does anything else:
// once that launch's setup is gone, the store decides. The patch recorded as installed in that
// installation keeps the new copies; otherwise they are taken back.
#ifndef UNDO_RECOVERY_H
#define UNDO_RECOVERY_H

#include <string>
#include <vector>

class UndoRecovery {
public:
    struct Finished {
        std::string code;
        std::string sessionID;
        std::string outcome;  // "kept", "undone" or "pending"
    };
    // Root's runs only; logs what it did for each journal it found.
    static void FinishPending();
    // What FinishPending did in this process, for the run's report.
    static const std::vector<Finished>& Done();
};

#endif
