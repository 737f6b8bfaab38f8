// How far one patch got in this session: per installation of its base product.
#ifndef PATCH_OUTCOME_H
#define PATCH_OUTCOME_H

#include <string>
#include <vector>

#include "LaunchRecord.h"

struct PatchOutcome {
    std::string code;
    std::string displayName;
    // Installations by their install folder, else their session ID.
    std::vector<std::string> installed;
    std::vector<std::string> failed;
    std::vector<std::string> notStarted;  // the pass stopped before them
    int planned = 0;                      // installations the plan had for it (0: none could take it)
    bool hasFailure = false;
    LaunchRecord firstFailure;  // the first failed launch, when one is known

    // Installed only when installed in every installation the plan had for it.
    bool Complete() const { return planned > 0 && static_cast<int>(installed.size()) == planned; }
};

#endif
