// Session log shared by every process of a patch session.
#ifndef MOQ_LOGGER_H
#define MOQ_LOGGER_H

#include <stdbool.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define kMOQLogFilePath "/tmp/moq.log"
#define kMOQLogFileMagicString "__MOQ_LOG_FILE__"
#define kMOQLogTruncateSize 256000L

void MOQ_Logger_Start(bool truncateIfLarge);
// Same as MOQ_Logger_Start on another file; lets tests work in a sandbox.
void MOQ_Logger_StartAt(const char* path, bool truncateIfLarge);
void MOQ_Logger_End(void);
void MOQ_Logger_Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void MOQ_Logger_Stamp(void);
bool IsMOQLogfileValid(const char* path);
int MOQ_fgetline(FILE* file, char* buffer, int length);
unsigned MOQ_WallClock_Reset(void);
float MOQ_WallClock_Time(void);

#ifdef __cplusplus
}
#endif

// Every line of the system carries the same two leading fields.
#define MOQ_LOG(fmt, ...) MOQ_Logger_Log("%s: %s: " fmt, "MOQ", "_info_", ##__VA_ARGS__)

#endif
