/* Loaded anywhere, it leaves /tmp/marker-module-loaded with the loader's uid: a stand-in for
   the code an attacker puts in a bundle, which root must never load. */
#include <stdio.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMark(void) {
    FILE* mark = fopen("/tmp/marker-module-loaded", "a");
    if (mark != NULL) {
        fprintf(mark, "%u\n", (unsigned)geteuid());
        fclose(mark);
    }
}
