/* Stand-in for the update manager's results library. The update manager tells
 * it through its environment who the client is and where results go:
 * KAVEX_UPDATER_CLIENT (absent: not started by the update manager) and
 * KAVEX_UPDATER_RESULTS (the file that receives "result=<n>" and "message=<text>"). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int ZEPGetClientAppPath(unsigned* size, char* buffer) {
    const char* client = getenv("KAVEX_UPDATER_CLIENT");
    if (client == NULL || client[0] == '\0' || size == NULL) return 2;
    size_t length = strlen(client);
    if (buffer == NULL || *size < length + 1) {
        *size = (unsigned)length;
        return 0;
    }
    memcpy(buffer, client, length + 1);
    return 1;
}

/* One value per line: a line break inside the message must not start a line of its own. */
static void WriteValue(FILE* file, const char* text) {
    for (; *text != '\0'; ++text) fputc(*text == '\n' || *text == '\r' ? ' ' : *text, file);
}

/* Written to a new file beside the target and renamed over it: the reader sees the old
 * report or the whole new one, and a link or a pipe planted at the name is replaced,
 * never written through or waited on. */
int ZEPSetInstallerResults(int result, const char* message) {
    const char* path = getenv("KAVEX_UPDATER_RESULTS");
    if (path == NULL || path[0] == '\0') return 0;
    size_t length = strlen(path);
    char* temporary = malloc(length + 8);
    if (temporary == NULL) return 0;
    memcpy(temporary, path, length);
    memcpy(temporary + length, ".XXXXXX", 8);
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0) {
        free(temporary);
        return 0;
    }
    FILE* file = fdopen(fd, "w");
    if (file == NULL) {
        close(fd);
        unlink(temporary);
        free(temporary);
        return 0;
    }
    int ok = fchmod(fd, 0644) == 0 && fprintf(file, "result=%d\n", result) > 0;
    if (ok && message != NULL) {
        fputs("message=", file);
        WriteValue(file, message);
        fputc('\n', file);
    }
    if (fflush(file) != 0 || ferror(file) || fsync(fd) != 0) ok = 0;
    if (fclose(file) != 0) ok = 0;
    if (ok && rename(temporary, path) != 0) ok = 0;
    if (!ok) unlink(temporary);
    free(temporary);
    return ok ? 1 : 0;
}
