/* Stand-in for the update manager's results library. The update manager tells
 * it through its environment who the client is and where results go:
 * KAVEX_UPDATER_CLIENT (absent: not started by the update manager) and
 * KAVEX_UPDATER_RESULTS (the file that receives "result=<n>" and "message=<text>"). */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
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

/* The temporary file of path is ".<name>.kavex-tmp.<pid>-XXXXXX" beside it: the next writer
 * removes those whose writers are gone (a run killed before its rename). */
static int TemporaryName(const char* path, char** out, size_t* prefixLength) {
    const char* slash = strrchr(path, '/');
    const size_t folder = slash != NULL ? (size_t)(slash - path + 1) : 0;
    const size_t size = strlen(path) + 64;
    char* name = malloc(size);
    if (name == NULL) return 0;
    int n = snprintf(name, size, "%.*s.%s.kavex-tmp.", (int)folder, path, path + folder);
    if (n < 0) {
        free(name);
        return 0;
    }
    *prefixLength = (size_t)n - folder;
    snprintf(name + n, size - (size_t)n, "%ld-XXXXXX", (long)getpid());
    *out = name;
    return 1;
}

static void RemoveStale(const char* temporary, size_t prefixLength) {
    const char* slash = strrchr(temporary, '/');
    const size_t folderLength = slash != NULL ? (size_t)(slash - temporary) : 0;
    char* folder = slash == NULL ? strdup(".") : folderLength == 0 ? strdup("/") : strndup(temporary, folderLength);
    const char* prefix = slash != NULL ? slash + 1 : temporary;
    DIR* listing = folder != NULL ? opendir(folder) : NULL;
    if (listing == NULL) {
        free(folder);
        return;
    }
    int fd = dirfd(listing);
    for (struct dirent* entry; (entry = readdir(listing)) != NULL;) {
        if (strncmp(entry->d_name, prefix, prefixLength) != 0) continue;
        long pid = strtol(entry->d_name + prefixLength, NULL, 10);
        if (pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH) unlinkat(fd, entry->d_name, 0);
    }
    closedir(listing);
    free(folder);
}

/* Written to a new file beside the target and renamed over it: the reader sees the old
 * report or the whole new one, and a link or a pipe planted at the name is replaced,
 * never written through or waited on. */
int ZEPSetInstallerResults(int result, const char* message) {
    const char* path = getenv("KAVEX_UPDATER_RESULTS");
    if (path == NULL || path[0] == '\0') return 0;
    char* temporary = NULL;
    size_t prefixLength = 0;
    if (!TemporaryName(path, &temporary, &prefixLength)) return 0;
    RemoveStale(temporary, prefixLength);
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
