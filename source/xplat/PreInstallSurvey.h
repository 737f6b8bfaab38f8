// The checks before any launch, with the detail a report needs: which family
// lock is held and by whom, which conflicting applications run under which
// process ids, and the room each target volume has for the plan.
#ifndef PRE_INSTALL_SURVEY_H
#define PRE_INSTALL_SURVEY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NamedLockProbe.h"

class PayloadsManager;

class PreInstallSurvey {
public:
    struct Application {
        std::string name;
        bool blocking = false;
        std::vector<int> pids;
    };
    struct Volume {
        std::string root;
        std::string name;
        uint64_t plannedBytes = 0;
        uint64_t neededBytes = 0;  // twice the plan: the rule of the disk check
        uint64_t freeBytes = 0;
        bool measured = false;     // false: no volume information, the check does not block
        bool enough = true;
    };

    // The plan must be built first; its volumes are measured.
    static std::shared_ptr<PreInstallSurvey> Take(PayloadsManager& manager);

    bool AnyLockBusy() const;
    bool AnyBlockingApplication() const;

    int64_t takenMs = 0;
    std::vector<NamedLockProbe> locks;
    std::vector<Application> applications;
    std::vector<Volume> volumes;
};

#endif
