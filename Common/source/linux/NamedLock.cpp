#include "NamedLock.h"

#include <errno.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

namespace {

NamedLock::LogFunction gLog = nullptr;

// A set that root did not make, or that others may change, can be held at 0 or
// reset to 1 by an ordinary user: a root process must not take its word.
bool Trusted(int id, const std::string& name) {
    if (geteuid() != 0) return true;
    struct semid_ds info;
    if (semctl(id, 0, IPC_STAT, &info) != 0) return false;
    if (info.sem_perm.cuid == 0 && info.sem_perm.uid == 0 && (info.sem_perm.mode & 0022) == 0) return true;
    if (gLog != nullptr) {
        char line[256];
        snprintf(line, sizeof(line), "Named lock %s: set made by uid %u, owned by uid %u, mode %03o: not trusted, replaced\n",
                 name.c_str(), static_cast<unsigned>(info.sem_perm.cuid), static_cast<unsigned>(info.sem_perm.uid),
                 static_cast<unsigned>(info.sem_perm.mode & 0777));
        gLog(line);
    }
    return false;
}

bool LockNameToSempahoreKey_t(const std::string& name, int& key) {
    key_t k = ftok("/tmp", static_cast<int>(NamedLock::Crc32(name)));
    if (k == -1) return false;
    key = static_cast<int>(k);
    return true;
}

// Only the creator of a set gives it its first value; a process that finds
// it already there leaves the value alone, or two racing creators could both
// reset it and both hold the lock.
int OpenOrCreateSetOnce(int key) {
    int id = semget(key, 1, 0600);
    if (id >= 0 || errno != ENOENT) return id;
    id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) return errno == EEXIST ? semget(key, 1, 0600) : -1;
    if (semctl(id, 0, SETVAL, 1) != 0) return -1;
    return id;
}

int OpenOrCreateSet(int key, const std::string& name) {
    // A user who makes the set again at once wins only a few rounds, then the lock reads as taken.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int id = OpenOrCreateSetOnce(key);
        if (id < 0 || Trusted(id, name)) return id;
        semctl(id, 0, IPC_RMID);
    }
    return -1;
}

}  // namespace

uint32_t NamedLock::Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

void NamedLock::SetLog(LogFunction log) { gLog = log; }

bool NamedLock::KeyForName(const std::string& name, int& key) { return LockNameToSempahoreKey_t(name, key); }

bool NamedLock::AcquireLock(const std::string& name, std::shared_ptr<NamedLock>& lock) {
    int key = 0;
    if (!LockNameToSempahoreKey_t(name, key)) return false;
    int id = OpenOrCreateSet(key, name);
    if (id < 0) return false;
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = -1;
    op.sem_flg = IPC_NOWAIT | SEM_UNDO;
    if (semop(id, &op, 1) != 0) return false;
    std::shared_ptr<NamedLockPlat> plat = std::make_shared<NamedLockPlat>();
    plat->mKey = key;
    plat->mSemaphoreId = id;
    lock.reset(new NamedLock(plat));
    return true;
}

bool NamedLock::IsLocked(const std::string& name) {
    std::shared_ptr<NamedLock> probe;
    return !AcquireLock(name, probe);
}

NamedLock::~NamedLock() {
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = 1;
    op.sem_flg = SEM_UNDO;
    semop(mPlat->mSemaphoreId, &op, 1);
}
