// Tells what a silent run would do here, and does none of it: the patches'
// verdicts, the checks and the launches it would make. Reads the stores only;
// needs neither superuser rights (where the stores are readable) nor a display.
#ifndef UI_DRIVER_CHECK_H
#define UI_DRIVER_CHECK_H

#include <ostream>

#include "BundleVerifier.h"
#include "UIDriver.h"

class PayloadsManager;

class UIDriverCheck : public UIDriver {
public:
    explicit UIDriverCheck(InstallerEngine& engine) : UIDriver(engine) {}
    bool Run() override;

    // "Bundle signature: valid, key ID" / "unsigned - why" / "invalid - why".
    // The verdict's line and, under it, the trust line.
    static void PrintSignature(std::ostream& out, const BundleVerifier::Verdict& verdict);
    // "Bundle trust: rule R; series S, version N, issued T, expires T, products P; signers K (threshold N met)".
    static std::string TrustLine(const BundleVerifier::Verdict& verdict);
    static void PrintResult(std::ostream& out, int code);

private:
    // The code the silent run would end with, had every launch succeeded.
    int Outcome(PayloadsManager& manager, bool updatesEmpty, int classification);
    void PrintSummary(PayloadsManager& manager, int code) const;
};

#endif
