#include "DHTMLAlertController.h"

#include <mutex>

namespace {
DHTMLAlertController::Maker& TheMaker() {
    static DHTMLAlertController::Maker maker;
    return maker;
}
}  // namespace

void DHTMLAlertController::SetMaker(Maker maker) { TheMaker() = maker; }

DHTMLAlertController* DHTMLAlertController::Shared() {
    static std::once_flag once;
    static std::unique_ptr<DHTMLAlertController> controller;
    std::call_once(once, [] {
        if (TheMaker()) controller = TheMaker()();
    });
    return controller.get();
}
