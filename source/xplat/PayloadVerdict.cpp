#include "PayloadVerdict.h"

#include "ErrorCodes.h"

std::string PayloadVerdict::Name() const {
    if (!classified) return "notClassified";
    if (!kept) return "duplicateCode";
    switch (result) {
        case ErrorCodes::kAlreadyInstalled: return "alreadyInstalled";
        case ErrorCodes::kHigherPatchInstalled: return "higherPatchInstalled";
        case ErrorCodes::kBasePayloadNotInstalled: return "baseProductMissing";
        default: return "available";
    }
}

std::string PayloadVerdict::Words() const {
    if (!classified) return "not kept: no base product";
    if (!kept) return "not kept: duplicate code";
    switch (result) {
        case ErrorCodes::kAlreadyInstalled: return "already installed";
        case ErrorCodes::kHigherPatchInstalled: return "a higher patch installed";
        case ErrorCodes::kBasePayloadNotInstalled: return "base product missing";
        default: return "update available";
    }
}

std::string PayloadVerdict::Reason() const {
    if (!classified) return "the proxy names no base product";
    if (!kept) return "an earlier proxy has the same code; only the first is kept";
    if (!reason.empty()) return reason;
    return "the store records its base product " + parentCode + " and not the patch";
}
