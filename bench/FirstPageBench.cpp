// Time from the start of the wizard to its filled first page, on a virtual display,
// and the memory of the program with its web processes at that moment.
//
//   FirstPageBench [runs]      (default 7; the first run is reported apart as the cold one)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, bool quiet) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // the web processes go with it
        for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
        if (quiet) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int RunToEnd(const std::vector<std::string>& argv) {
    int status = 0;
    waitpid(Spawn(argv, {}, true), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// A mapped window with a title (the page has named it) whose picture has text in it.
bool FilledWindow(Display* display) {
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned count = 0;
    bool filled = false;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) return false;
    for (unsigned i = 0; i < count && !filled; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable || a.width < 100) continue;
        char* name = nullptr;
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        const bool titled = XGetWindowProperty(display, children[i], XInternAtom(display, "_NET_WM_NAME", False), 0, 256, False,
                                               XInternAtom(display, "UTF8_STRING", False), &type, &format, &items, &after,
                                               &data) == Success && data != nullptr && items > 0;
        if (data != nullptr) XFree(data);
        (void)name;
        if (!titled) continue;
        XImage* image = XGetImage(display, children[i], 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                                  AllPlanes, ZPixmap);
        if (image == nullptr) continue;
        std::set<unsigned long> colours;
        for (int y = 0; y < a.height && colours.size() < 8; y += 2) {
            for (int x = 0; x < a.width && colours.size() < 8; x += 2) colours.insert(XGetPixel(image, x, y));
        }
        XDestroyImage(image);
        filled = colours.size() >= 8;
    }
    if (children != nullptr) XFree(children);
    return filled;
}

// Resident memory (kB) of the process and all its descendants.
long TreeRss(int top) {
    std::map<int, int> parentOf;
    std::map<int, long> rss;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            const int pid = atoi(entry->d_name);
            if (pid <= 0) continue;
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.compare(0, 5, "PPid:") == 0) parentOf[pid] = atoi(line.c_str() + 5);
                if (line.compare(0, 6, "VmRSS:") == 0) rss[pid] = atol(line.c_str() + 6);
            }
        }
        closedir(proc);
    }
    long total = 0;
    for (const auto& entry : rss) {
        for (int p = entry.first; p > 1; p = parentOf.count(p) ? parentOf[p] : 0) {
            if (p == top) {
                total += entry.second;
                break;
            }
        }
    }
    return total;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(2, atoi(argv[1])) : 7;
    char folder[] = "/tmp/firstpage-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    const std::string root = folder, machine = root + "/machine", bundle = root + "/bundle";
    if (RunToEnd({DEMO_MACHINE, machine, bundle, STANDIN_SETUP}) != 0 || RunToEnd({"/bin/cp", "-a", BUNDLE_DIR, bundle + "/"}) != 0) {
        fprintf(stderr, "cannot lay out the sandbox in %s\n", folder);
        return 2;
    }
    for (const char* file : {"main.html", "main.css", "main.js", "main.xml"}) {
        RunToEnd({"/bin/cp", std::string(RESOURCES_DIR) + "/" + file, bundle + "/resources/"});
    }
    std::string name;
    int xvfb = -1;
    for (int number = 300 + getpid() % 300; number < 1000 && xvfb < 0; number += 11) {
        if (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0) continue;
        name = ":" + std::to_string(number);
        xvfb = Spawn({"/usr/bin/Xvfb", name, "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {}, true);
        for (int i = 0; i < 100 && access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) != 0; ++i) usleep(50000);
    }
    XSetErrorHandler(IgnoreErrors);
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr) {
        fprintf(stderr, "no Xvfb\n");
        return 2;
    }
    std::vector<double> times;
    std::vector<long> memory;
    for (int run = 0; run < runs; ++run) {
        const double start = Now();
        const int pid = Spawn({bundle + "/Update.app/Contents/MacOS/Update"},
                              {"KAVEX_SYSTEM_ROOT=" + machine, "DISPLAY=" + name, "NO_AT_BRIDGE=1", "LANGUAGE=en"}, true);
        bool filled = false;
        while (!filled && Now() - start < 30) {
            filled = FilledWindow(display);
            if (!filled) usleep(5000);
        }
        times.push_back(Now() - start);
        memory.push_back(TreeRss(pid));
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (!filled) {
            fprintf(stderr, "run %d: the first page never filled\n", run + 1);
            return 1;
        }
        usleep(300000);  // the web processes go away with their program
    }
    XCloseDisplay(display);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    RunToEnd({"/bin/rm", "-rf", root});
    const double median = Median(std::vector<double>(times.begin() + 1, times.end()));
    std::vector<double> kilobytes(memory.begin() + 1, memory.end());
    printf("first page filled: cold %.3f s, median of %d warm runs %.3f s (target < 0.5 s)\n", times[0], runs - 1, median);
    printf("memory at that moment, program and its web processes: median %.1f MB\n", Median(kilobytes) / 1024.0);
    return median < 0.5 ? 0 : 1;
}
