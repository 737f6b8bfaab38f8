/* Stand-in for the update manager's results library. The update manager tells
 * it through its environment who the client is and where results go:
 * KAVEX_UPDATER_CLIENT (absent: not started by the update manager) and
 * KAVEX_UPDATER_RESULTS (the file that receives "result=<n>" and "message=<text>"). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

int ZEPSetInstallerResults(int result, const char* message) {
    const char* path = getenv("KAVEX_UPDATER_RESULTS");
    if (path == NULL || path[0] == '\0') return 0;
    FILE* file = fopen(path, "w");
    if (file == NULL) return 0;
    int ok = fprintf(file, "result=%d\n", result) > 0;
    if (message != NULL) ok = ok && fprintf(file, "message=%s\n", message) > 0;
    if (fclose(file) != 0) ok = 0;
    return ok ? 1 : 0;
}
