/* Runs one test program in namespaces of its own: System V IPC (so that the family's named
 * locks held elsewhere on the machine are not seen, nor the test's seen elsewhere) and mounts,
 * with a fresh /tmp (the session log, sandboxes, the X server's sockets). As root the
 * namespaces are made directly; otherwise inside a user namespace that maps the caller to
 * itself. When neither works the test is skipped (exit 77) with the reason on stderr: a test
 * run against the machine's shared state passes or fails for reasons of its own.
 * Listing the tests (--gtest_list_tests) touches nothing, so it runs even then. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kSkip = 77 };

static int WriteFile(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t length = (ssize_t)strlen(text);
    const ssize_t written = write(fd, text, (size_t)length);
    close(fd);
    return written == length ? 0 : -1;
}

/* Namespaces owned by a new user namespace in which the caller keeps its own ids. */
static int UnshareAsUser(char* why, size_t size) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC | CLONE_NEWNS) != 0) {
        snprintf(why, size, "unshare: not permitted, nor inside a user namespace of its own: %s", strerror(errno));
        return -1;
    }
    char map[64];
    snprintf(map, sizeof(map), "%u %u 1\n", (unsigned)uid, (unsigned)uid);
    if (WriteFile("/proc/self/uid_map", map) != 0 || WriteFile("/proc/self/setgroups", "deny\n") != 0) {
        snprintf(why, size, "cannot map the user into its namespace: %s", strerror(errno));
        return -1;
    }
    snprintf(map, sizeof(map), "%u %u 1\n", (unsigned)gid, (unsigned)gid);
    if (WriteFile("/proc/self/gid_map", map) != 0) {
        snprintf(why, size, "cannot map the group into its namespace: %s", strerror(errno));
        return -1;
    }
    return 0;
}

static int Isolate(char* why, size_t size) {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
        if (errno != EPERM) {
            snprintf(why, size, "unshare of the IPC and mount namespaces: %s", strerror(errno));
            return -1;
        }
        if (UnshareAsUser(why, size) != 0) return -1;
    }
    /* Without this the new /tmp would be propagated back to the machine's namespace. */
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) {
        snprintf(why, size, "cannot make the mounts private: %s", strerror(errno));
        return -1;
    }
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        snprintf(why, size, "cannot mount a fresh /tmp: %s", strerror(errno));
        return -1;
    }
    /* As on a machine: the X server's socket folder, which only root may make where it belongs. */
    if (mkdir("/tmp/.X11-unix", 01777) != 0 || chmod("/tmp/.X11-unix", 01777) != 0) {
        snprintf(why, size, "cannot make /tmp/.X11-unix: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    int listing = 0;
    for (int i = 2; i < argc; ++i) listing |= strcmp(argv[i], "--gtest_list_tests") == 0;
    char why[256] = "";
    if (Isolate(why, sizeof(why)) != 0 && !listing) {
        fprintf(stderr, "SKIPPED: %s cannot run in namespaces of its own (%s); "
                        "it would share named locks and /tmp with the machine\n", argv[1], why);
        return kSkip;
    }
    execv(argv[1], argv + 1);
    fprintf(stderr, "cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
