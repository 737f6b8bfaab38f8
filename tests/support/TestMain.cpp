// The test programs' entry point. Run directly, a test program first runs itself again
// through the launcher that gives it IPC and mount namespaces of its own, so that it never
// meets the machine's named locks or /tmp (nor leaves anything there); the launcher refuses,
// with the reason, where it cannot.
#include <gtest/gtest.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
    const char* isolated = getenv("UPDATE_TEST_ISOLATED");
    if (!listing && (isolated == nullptr || strcmp(isolated, "1") != 0)) {
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (n <= 0) {
            fprintf(stderr, "SKIPPED: this test program cannot find itself to run in namespaces of its own\n");
            return 77;
        }
        self[n] = '\0';
        std::vector<char*> args{const_cast<char*>(ISOLATED_RUN), self};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(ISOLATED_RUN, args.data());
        fprintf(stderr, "SKIPPED: the test launcher %s cannot be run (%s); the tests would share named locks "
                        "and /tmp with the machine\n", ISOLATED_RUN, strerror(errno));
        return 77;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
