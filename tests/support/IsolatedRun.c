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
#include <limits.h>
#include <stdlib.h>
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

/* The first component below /tmp of path ("check" for /tmp/check/build), or "" when it is not there. */
static void TopUnderTmp(const char* path, char* name, size_t size) {
    name[0] = '\0';
    if (path == NULL || strncmp(path, "/tmp/", 5) != 0) return;
    const char* start = path + 5;
    size_t length = strcspn(start, "/");
    if (length == 0 || length >= size || (length <= 2 && start[0] == '.')) return;
    memcpy(name, start, length);
    name[length] = '\0';
}

/* A build or source tree that lives in /tmp (a clean clone checked there) stays visible under
 * the fresh /tmp: bound from the machine's /tmp, reached through a descriptor kept open. */
static int CarryOver(int oldTmp, const char* name, char* why, size_t size) {
    if (name[0] == '\0') return 0;
    char target[PATH_MAX], source[PATH_MAX];
    snprintf(target, sizeof(target), "/tmp/%s", name);
    snprintf(source, sizeof(source), "/proc/self/fd/%d/%s", oldTmp, name);
    if (mkdir(target, 0755) != 0 && errno != EEXIST) {
        snprintf(why, size, "cannot make /tmp/%.64s: %s", name, strerror(errno));
        return -1;
    }
    if (mount(source, target, NULL, MS_BIND | MS_REC, NULL) != 0) {
        snprintf(why, size, "cannot keep /tmp/%.64s visible: %s", name, strerror(errno));
        return -1;
    }
    return 0;
}

static int Isolate(const char* program, char* why, size_t size) {
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
    char names[3][NAME_MAX + 1];
    char cwd[PATH_MAX] = "", resolved[PATH_MAX];
    const int haveCwd = getcwd(cwd, sizeof(cwd)) != NULL;
    TopUnderTmp(haveCwd ? cwd : NULL, names[0], sizeof(names[0]));
    TopUnderTmp(realpath(program, resolved), names[1], sizeof(names[1]));
    TopUnderTmp(PROJECT_SOURCE_DIR, names[2], sizeof(names[2]));
    const int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (oldTmp < 0) {
        snprintf(why, size, "cannot open /tmp: %s", strerror(errno));
        return -1;
    }
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        snprintf(why, size, "cannot mount a fresh /tmp: %s", strerror(errno));
        close(oldTmp);
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (CarryOver(oldTmp, names[i], why, size) != 0) {
            close(oldTmp);
            return -1;
        }
    }
    close(oldTmp);
    /* The working folder, if it was in /tmp, is now the bound one. */
    if (haveCwd && chdir(cwd) != 0) {
        snprintf(why, size, "cannot return to %s: %s", cwd, strerror(errno));
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
    if (Isolate(argv[1], why, sizeof(why)) != 0 && !listing) {
        fprintf(stderr, "SKIPPED: %s cannot run in namespaces of its own (%s); "
                        "it would share named locks and /tmp with the machine\n", argv[1], why);
        return kSkip;
    }
    /* The test program's own entry point runs itself through here when this is not set. */
    setenv("UPDATE_TEST_ISOLATED", "1", 1);
    execv(argv[1], argv + 1);
    fprintf(stderr, "cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
