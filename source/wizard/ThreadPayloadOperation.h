// The wizard's payload passes on worker threads.
#ifndef THREAD_PAYLOAD_OPERATION_H
#define THREAD_PAYLOAD_OPERATION_H

#include "ThreadOperation.h"

class NativeThreadController;

class ThreadPayloadOperation : public ThreadOperation {
public:
    ThreadPayloadOperation();
    ~ThreadPayloadOperation() override;
    bool Execute() override;
    bool InitializePM() override;
    bool Pause() override;
    bool Resume() override;
    bool Cancel() override;

private:
    NativeThreadController* mController;
    bool mPaused = false;
    bool mCancelled = false;
};

#endif
