#include "VirtualDisplay.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSandbox.h"

VirtualDisplay::VirtualDisplay() {
    for (int number = 90 + getpid() % 500; number < 1000 && mPid <= 0; number += 7) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        if (TestFiles::Exists(socket) || TestFiles::Exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
        mPid = TestProcess::Spawn({"/usr/bin/Xvfb", ":" + std::to_string(number), "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        for (int wait = 0; wait < 100 && !TestFiles::Exists(socket); ++wait) usleep(50000);
        if (!TestFiles::Exists(socket)) {
            Stop();
            continue;
        }
        mName = ":" + std::to_string(number);
        setenv("DISPLAY", mName.c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus in a test
    }
}

VirtualDisplay::~VirtualDisplay() { Stop(); }

void VirtualDisplay::Stop() {
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
    mPid = -1;
}
