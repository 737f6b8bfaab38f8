#include "MOQLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "FileContents.h"
#include "UniqueFd.h"

namespace {

std::mutex gLogMutex;
int gLogFd = -1;  // the process-wide handle; -1 while closed
std::string gLogPath;
dev_t gLogDevice = 0;
ino_t gLogInode = 0;
std::atomic<unsigned> gClockStart{0};

unsigned CurrentTicks() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long ticks =
        static_cast<unsigned long long>(ts.tv_sec) * 60ULL + static_cast<unsigned long long>(ts.tv_nsec) / (1000000000ULL / 60ULL);
    return static_cast<unsigned>(ticks);
}

// Made again only when the second changes, or in a forked child (its pid differs):
// a run writes thousands of lines, and the date and pid cost more than the line.
time_t gStampedAt = -1;
std::string gStamp;

void ForgetStamp() { gStampedAt = -1; }

std::string StampText() {
    static const int forkWatch = pthread_atfork(nullptr, nullptr, ForgetStamp);
    (void)forkWatch;
    const time_t now = time(nullptr);
    if (now == gStampedAt) return gStamp;
    char date[100];
    struct tm local;
    localtime_r(&now, &local);
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &local);
    char stamp[160];
    snprintf(stamp, sizeof(stamp), "%s [%d] ", date, static_cast<int>(getpid()));
    gStamp = stamp;
    gStampedAt = now;
    return gStamp;
}

// The log lives in a world-writable folder and we run as root: only a
// plain, singly-linked regular file is ever written to.
bool IsPlainFile(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

void RemoveEntry(const char* path) {
    if (unlink(path) != 0 && (errno == EISDIR || errno == EPERM)) rmdir(path);
}

int OpenForAppend(const char* path, bool create) {
    int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (create) flags |= O_CREAT | O_EXCL;
    UniqueFd fd(open(path, flags, 0666));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !IsPlainFile(st)) return -1;
    return fd.release();
}

void EmptyIfLarge(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0 || !IsPlainFile(st) || st.st_size <= kMOQLogTruncateSize) return;
    UniqueFd fd(open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid() && fstat(fd.get(), &st) == 0 && IsPlainFile(st)) {
        if (ftruncate(fd.get(), 0) != 0) { /* left as it is; the validity test decides */ }
    }
}

void StartFresh(const char* path) {
    RemoveEntry(path);
    gLogFd = OpenForAppend(path, true);
    if (gLogFd >= 0) FileContents::WriteAll(gLogFd, StampText() + kMOQLogFileMagicString + "\n");
}

void OpenLocked(const char* path, bool truncateIfLarge) {
    if (truncateIfLarge) EmptyIfLarge(path);
    struct stat st;
    if (!IsMOQLogfileValid(path)) {
        StartFresh(path);
    } else if (lstat(path, &st) == 0) {
        gLogFd = OpenForAppend(path, false);
        // Swapped for something else since the test: start afresh.
        if (gLogFd < 0) StartFresh(path);
    } else {
        gLogFd = OpenForAppend(path, true);
        if (gLogFd >= 0) FileContents::WriteAll(gLogFd, StampText() + kMOQLogFileMagicString + "\n");
    }
    struct stat held;
    if (gLogFd >= 0 && fstat(gLogFd, &held) == 0) {
        gLogPath = path;
        gLogDevice = held.st_dev;
        gLogInode = held.st_ino;
    }
}

// Another session may have removed or replaced the file while we held it (a
// wizard stays open for minutes): our lines would go where nobody reads them.
void FollowThePath() {
    if (gLogFd < 0 || gLogPath.empty()) return;
    struct stat st;
    if (lstat(gLogPath.c_str(), &st) == 0 && st.st_dev == gLogDevice && st.st_ino == gLogInode) return;
    close(gLogFd);
    gLogFd = -1;
    const std::string path = gLogPath;
    OpenLocked(path.c_str(), false);
}

}  // namespace

extern "C" {

void MOQ_Logger_StartAt(const char* path, bool truncateIfLarge) {
    std::lock_guard<std::mutex> guard(gLogMutex);
    if (gLogFd >= 0 || path == nullptr) return;
    OpenLocked(path, truncateIfLarge);
}

void MOQ_Logger_Start(bool truncateIfLarge) { MOQ_Logger_StartAt(kMOQLogFilePath, truncateIfLarge); }

void MOQ_Logger_End(void) {
    std::lock_guard<std::mutex> guard(gLogMutex);
    if (gLogFd >= 0) close(gLogFd);
    gLogFd = -1;
    gLogPath.clear();
}

void MOQ_Logger_Stamp(void) {
    std::lock_guard<std::mutex> guard(gLogMutex);
    FollowThePath();
    if (gLogFd >= 0) FileContents::WriteAll(gLogFd, StampText());
}

void MOQ_Logger_Log(const char* format, ...) {
    std::lock_guard<std::mutex> guard(gLogMutex);
    if (gLogFd < 0 || format == nullptr) return;
    FollowThePath();
    if (gLogFd < 0) return;
    std::string line = StampText();
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    // Most entries fit the first try; a longer one is formatted again at its size.
    char shortLine[512];
    const int needed = vsnprintf(shortLine, sizeof(shortLine), format, copy);
    va_end(copy);
    if (needed > 0 && static_cast<size_t>(needed) < sizeof(shortLine)) {
        line.append(shortLine, static_cast<size_t>(needed));
    } else if (needed > 0) {
        size_t at = line.size();
        line.resize(at + static_cast<size_t>(needed) + 1);
        vsnprintf(&line[at], static_cast<size_t>(needed) + 1, format, args);
        line.resize(at + static_cast<size_t>(needed));
    }
    va_end(args);
    // One write per entry, so concurrent entries never share a line.
    FileContents::WriteAll(gLogFd, line);
}

bool IsMOQLogfileValid(const char* path) {
    if (path == nullptr) return false;
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT;
    if (!IsPlainFile(st)) return false;
    UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !IsPlainFile(st)) return false;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(fdopen(fd.get(), "r"), fclose);
    if (!file) return false;
    fd.release();  // the stream owns it now
    char buffer[128];
    buffer[0] = '\0';
    MOQ_fgetline(file.get(), buffer, sizeof(buffer));
    return strstr(buffer, kMOQLogFileMagicString) != nullptr;
}

int MOQ_fgetline(FILE* file, char* buffer, int length) {
    if (file == nullptr || buffer == nullptr || length <= 0) return EOF;
    int stored = 0;
    bool any = false;
    for (;;) {
        int c = fgetc(file);
        if (c == EOF) break;
        any = true;
        if (c == '\n') break;
        if (c == '\r') {
            int next = fgetc(file);
            if (next != '\n' && next != EOF) ungetc(next, file);
            break;
        }
        if (stored < length - 1) buffer[stored++] = static_cast<char>(c);
    }
    buffer[stored] = '\0';
    return any ? stored : EOF;
}

unsigned MOQ_WallClock_Reset(void) {
    gClockStart = CurrentTicks();
    return gClockStart;
}

float MOQ_WallClock_Time(void) { return static_cast<float>(CurrentTicks() - gClockStart) / 60.0f; }

}  // extern "C"
