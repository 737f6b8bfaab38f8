// How far one patch got in this session: per installation of its base product.
#ifndef PATCH_OUTCOME_H
#define PATCH_OUTCOME_H

#include <string>
#include <vector>

#include "LaunchRecord.h"

struct PatchOutcome {
    // One installation of the base product as a person knows it: the product and where it is.
    struct Installation {
        std::string product;    // the base product's name; empty when its media is unknown
        std::string folder;     // its install folder; empty when unknown
        std::string shownFolder;  // the folder's last components, enough to tell it from the others
        std::string sessionID;  // for the details a user copies for support, not for the page
        const char* state = "notStarted";  // "installed", "failed" or "notStarted"
        bool earlier = false;   // installed before this pass: the store records the patch there
    };

    // The install folders of one patch's installations as the page shows them: each by its
    // last components, at least two and as many more as tell it from the others
    // ("…/Applications/Suite"); folders that stay alike are numbered in plan order (" · 2").
    static std::vector<std::string> ShownFolders(const std::vector<std::string>& folders);

    std::string code;
    std::string displayName;
    // Installations by their install folder, else their session ID.
    std::vector<std::string> installed;
    std::vector<std::string> failed;
    std::vector<std::string> notStarted;  // the pass stopped before them
    std::vector<Installation> installations;  // all of the above, in plan order
    int planned = 0;                      // installations the plan had for it (0: none could take it)
    bool hasFailure = false;
    LaunchRecord firstFailure;  // the first failed launch, when one is known

    // Installed only when installed in every installation the plan had for it.
    bool Complete() const { return planned > 0 && static_cast<int>(installed.size()) == planned; }
    // The one word for where it stands, the same on the page, in the report and in the check:
    // installed everywhere; partial: in some installations, whatever happened in the others;
    // failed: in none, and a launch failed; notStarted: in none, and nothing was tried.
    const char* State() const {
        if (Complete()) return "installed";
        if (!installed.empty()) return "partial";
        return hasFailure ? "failed" : "notStarted";
    }
};

#endif
