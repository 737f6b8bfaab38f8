// A percentage that a long operation moves while another thread reads it.
#ifndef PROGRESS_COUNTER_H
#define PROGRESS_COUNTER_H

#include <atomic>

class ProgressCounter {
public:
    virtual ~ProgressCounter() {}
    virtual void SetPercent(int percent) = 0;
    virtual int Percent() const = 0;
};

// The plain counter, for callers without a progress record.
class AtomicProgressCounter : public ProgressCounter {
public:
    void SetPercent(int percent) override { mValue.store(percent); }
    int Percent() const override { return mValue.load(); }

private:
    std::atomic<int> mValue{0};
};

#endif
