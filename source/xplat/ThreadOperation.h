// A long operation that the wizard starts without blocking its window.
#ifndef THREAD_OPERATION_H
#define THREAD_OPERATION_H

class ThreadOperation {
public:
    virtual bool Execute() = 0;       // the installation pass
    virtual bool InitializePM() = 0;  // the preparation pass
    virtual bool Pause() = 0;
    virtual bool Resume() = 0;
    virtual bool Cancel() = 0;
    virtual ~ThreadOperation() {}
};

#endif
