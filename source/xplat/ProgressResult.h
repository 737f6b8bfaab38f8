// The progress and error record that the page reads while a worker writes it.
#ifndef PROGRESS_RESULT_H
#define PROGRESS_RESULT_H

#include <cstdint>
#include <mutex>
#include <string>

#include "ProgressCounter.h"

struct ProgressResult {
    int32_t mPercent = 0;
    std::string mTitle;      // display name of the payload being installed
    std::string mErrorName;  // page error name
    // Two strings the record's layout keeps for the page's process lists; the
    // manager leaves them empty. Read them by what they hold:
    std::string mReserved1;
    std::string mReserved2;
    const std::string& BlockingProcessList() const { return mReserved1; }
    const std::string& WarningProcessList() const { return mReserved2; }
    int32_t mStep = 0;   // 1-based launch of the plan now running; 0 before the first
    int32_t mSteps = 0;  // launches in the plan
    // The installation the running launch patches: its product and its folder as the page shows it.
    std::string mProduct;
    std::string mShownFolder;
};

// Every update and every read holds the lock, so a reader always sees whole updates.
class GuardedProgress : public ProgressCounter {
public:
    ProgressResult Snapshot() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mValue;
    }
    template <typename Update>
    void Modify(Update update) {
        std::lock_guard<std::mutex> guard(mMutex);
        update(mValue);
    }
    void SetPercent(int percent) override {
        std::lock_guard<std::mutex> guard(mMutex);
        mValue.mPercent = percent;
    }
    int Percent() const override {
        std::lock_guard<std::mutex> guard(mMutex);
        return mValue.mPercent;
    }
    void SetTitle(const std::string& title) {
        std::lock_guard<std::mutex> guard(mMutex);
        mValue.mTitle = title;
    }
    void SetErrorName(const std::string& name) {
        std::lock_guard<std::mutex> guard(mMutex);
        mValue.mErrorName = name;
    }
    std::string ErrorName() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mValue.mErrorName;
    }

private:
    mutable std::mutex mMutex;
    ProgressResult mValue;
};

#endif
