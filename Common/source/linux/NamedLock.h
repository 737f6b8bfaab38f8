// A machine-wide named lock, held for as long as the object lives.
#ifndef NAMED_LOCK_H
#define NAMED_LOCK_H

#include <cstdint>
#include <memory>
#include <string>

class NamedLock {
public:
    struct NamedLockPlat {
        int mKey;
        int mSemaphoreId;
    };

    // One attempt, no waiting; on failure lock is left as it was.
    static bool AcquireLock(const std::string& name, std::shared_ptr<NamedLock>& lock);
    // True when the lock cannot be taken right now (this process's own hold included).
    static bool IsLocked(const std::string& name);
    // The key every installer of the family derives from a name.
    static bool KeyForName(const std::string& name, int& key);
    static uint32_t Crc32(const std::string& bytes);
    // Where a root process reports a set it does not trust (and replaces); none by default.
    typedef void (*LogFunction)(const char* line);
    static void SetLog(LogFunction log);

    virtual ~NamedLock();

private:
    explicit NamedLock(const std::shared_ptr<NamedLockPlat>& plat) : mPlat(plat) {}
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    std::shared_ptr<NamedLockPlat> mPlat;
};

#endif
