#include "PayloadVerdict.h"

#include "ErrorCodes.h"

namespace {

// A classification's result as the report names it and as a reader reads it.
struct Verdict {
    const char* name;
    const char* words;
};

Verdict Of(const PayloadVerdict& payload) {
    if (!payload.classified) return {"notClassified", "not kept: no base product"};
    if (!payload.kept) return {"duplicateCode", "not kept: duplicate code"};
    switch (payload.result) {
        case ErrorCodes::kAlreadyInstalled: return {"alreadyInstalled", "already installed"};
        case ErrorCodes::kHigherPatchInstalled: return {"higherPatchInstalled", "a higher patch installed"};
        case ErrorCodes::kBasePayloadNotInstalled: return {"baseProductMissing", "base product missing"};
        default: return {"available", "update available"};
    }
}

}  // namespace

std::string PayloadVerdict::Name() const { return Of(*this).name; }

std::string PayloadVerdict::Words() const { return Of(*this).words; }

std::string PayloadVerdict::Reason() const {
    if (!classified) return "the proxy names no base product";
    if (!kept) return "an earlier proxy has the same code; only the first is kept";
    if (!reason.empty()) return reason;
    return "the store records its base product " + parentCode + " and not the patch";
}
