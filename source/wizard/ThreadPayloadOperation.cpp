#include "ThreadPayloadOperation.h"

#include "ThreadController.h"

ThreadPayloadOperation::ThreadPayloadOperation() : mController(NativeThreadController::GetInstance()) {}

ThreadPayloadOperation::~ThreadPayloadOperation() {
    if (mController != nullptr) NativeThreadController::ReleaseInstance();
}

bool ThreadPayloadOperation::Execute() { return mController->Controller().performAction(); }
bool ThreadPayloadOperation::InitializePM() { return mController->Controller().performInit(); }

// Stopping an installation goes through the manager's continue flag; these only record the request.
bool ThreadPayloadOperation::Pause() { return mPaused = true; }
bool ThreadPayloadOperation::Resume() {
    mPaused = false;
    return true;
}
bool ThreadPayloadOperation::Cancel() { return mCancelled = true; }
