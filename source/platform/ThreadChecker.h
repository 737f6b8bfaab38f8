// Code a class keeps to the thread that made it says so with CHECK_OWNER_THREAD; a debug
// build stops, naming the function, when another thread runs it. Release builds check nothing.
#ifndef THREAD_CHECKER_H
#define THREAD_CHECKER_H

#include <cstdio>
#include <cstdlib>
#include <thread>

class ThreadChecker {
public:
    ThreadChecker() : mOwner(std::this_thread::get_id()) {}
    bool OnOwnerThread() const { return std::this_thread::get_id() == mOwner; }
    void Check(const char* function) const {
        if (OnOwnerThread()) return;
        std::fprintf(stderr, "%s runs on another thread than the one its object keeps to\n", function);
        std::abort();
    }

private:
    std::thread::id mOwner;
};

#ifdef NDEBUG
#define CHECK_OWNER_THREAD(checker) ((void)0)
#else
#define CHECK_OWNER_THREAD(checker) (checker).Check(__func__)
#endif

#endif
