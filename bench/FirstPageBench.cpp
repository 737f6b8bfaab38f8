// Time from the start of the wizard to its filled first page (text in the picture, as a
// screenshot shows it), and how long its window was on screen with nothing drawn in it,
// on a virtual display, beside a bare WebKitGTK window loading the same page in the same
// run; and the memory of the program with its web processes at that moment.
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

#include "Measure.h"

namespace {

using Measure::Median;
using Measure::Now;

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

// Whether a top-level window is on screen, and whether its picture has text in it.
struct Seen {
    bool visible = false;
    bool filled = false;
};

Seen Look(Display* display) {
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned count = 0;
    Seen seen;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) return seen;
    for (unsigned i = 0; i < count && !seen.filled; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable || a.width < 100) continue;
        seen.visible = true;
        XImage* image = XGetImage(display, children[i], 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                                  AllPlanes, ZPixmap);
        if (image == nullptr) continue;
        std::set<unsigned long> colours;
        for (int y = 0; y < a.height && colours.size() < 8; y += 2) {
            for (int x = 0; x < a.width && colours.size() < 8; x += 2) colours.insert(XGetPixel(image, x, y));
        }
        XDestroyImage(image);
        // Anti-aliased text gives many colours; a window with only its background, few.
        seen.filled = colours.size() >= 8;
    }
    if (children != nullptr) XFree(children);
    return seen;
}

struct Tree {
    long kilobytes = 0;     // resident, the process and all its descendants
    int webProcesses = 0;   // WebKit's page renderers among them
};
Tree Descendants(int top);

struct Timing {
    double filled = 0;  // start to the first picture with text
    double empty = 0;   // on screen with nothing drawn
    long kilobytes = 0;
    bool ok = false;
    bool drawnByWebKit = false;  // a web process was up: the text is the page's, not an alert's
};

// Starts the program, watches the display until its window shows text, then ends it.
Timing TimeFirstPage(Display* display, const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    Timing timing;
    const double start = Now();
    const int pid = Spawn(argv, environment, true);
    double visibleAt = -1;
    while (!timing.ok && Now() - start < 30) {
        const Seen seen = Look(display);
        const double now = Now();
        if (seen.visible && visibleAt < 0) visibleAt = now;
        timing.ok = seen.filled;
        if (timing.ok) {
            timing.filled = now - start;
            timing.empty = now - visibleAt;
        } else {
            usleep(2000);
        }
    }
    const Tree tree = Descendants(pid);
    timing.kilobytes = tree.kilobytes;
    timing.drawnByWebKit = tree.webProcesses > 0;
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    usleep(300000);  // the web processes go away with their program
    return timing;
}

Tree Descendants(int top) {
    std::map<int, int> parentOf;
    std::map<int, long> rss;
    std::set<int> web;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            const int pid = atoi(entry->d_name);
            if (pid <= 0) continue;
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.compare(0, 5, "Name:") == 0 && line.find("WebKitWebProces") != std::string::npos) web.insert(pid);
                if (line.compare(0, 5, "PPid:") == 0) parentOf[pid] = atoi(line.c_str() + 5);
                if (line.compare(0, 6, "VmRSS:") == 0) rss[pid] = atol(line.c_str() + 6);
            }
        }
        closedir(proc);
    }
    Tree tree;
    for (const auto& entry : rss) {
        for (int p = entry.first; p > 1; p = parentOf.count(p) ? parentOf[p] : 0) {
            if (p == top) {
                tree.kilobytes += entry.second;
                if (web.count(entry.first)) ++tree.webProcesses;
                break;
            }
        }
    }
    return tree;
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
    // The pages beside the bundle, as the demo lays them out: without them the program shows
    // its startup error, a window with text that is no first page.
    bool laidOut = mkdir((bundle + "/resources").c_str(), 0755) == 0;
    for (const char* file : {"main.html", "main.css", "main.js", "main.xml"}) {
        laidOut = laidOut && RunToEnd({"/bin/cp", std::string(RESOURCES_DIR) + "/" + file, bundle + "/resources/"}) == 0;
    }
    if (!laidOut) {
        fprintf(stderr, "cannot lay out the pages in %s/resources\n", bundle.c_str());
        return 2;
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
    std::vector<Timing> program, bare;
    for (int run = 0; run < runs; ++run) {
        // Interleaved, so that both see the same machine.
        program.push_back(TimeFirstPage(display, {bundle + "/Update.app/Contents/MacOS/Update"},
                                  {"KAVEX_SYSTEM_ROOT=" + machine, "DISPLAY=" + name, "NO_AT_BRIDGE=1", "LANGUAGE=en"}));
        bare.push_back(TimeFirstPage(display, {BARE_WINDOW, bundle + "/resources", bundle + "/Update.app/Contents/SharedSupport/onFrameLoad.js"},
                               {"DISPLAY=" + name, "NO_AT_BRIDGE=1"}));
        if (!program.back().ok || !bare.back().ok) {
            fprintf(stderr, "run %d: the first page never filled (%s)\n", run + 1, program.back().ok ? "bare window" : "wizard");
            return 1;
        }
        if (!program.back().drawnByWebKit || !bare.back().drawnByWebKit) {
            fprintf(stderr, "run %d: THE %s FILLED WITHOUT A WEB PROCESS: its text is not the page's, nothing was measured\n",
                    run + 1, program.back().drawnByWebKit ? "BARE WINDOW" : "WIZARD");
            return 1;
        }
    }
    XCloseDisplay(display);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    RunToEnd({"/bin/rm", "-rf", root});
    // The runs after the first (cold) one.
    auto warmValues = [](const std::vector<Timing>& timings, double Timing::*field) {
        std::vector<double> values;
        for (size_t i = 1; i < timings.size(); ++i) values.push_back(timings[i].*field);
        return values;
    };
    auto warm = [&](const std::vector<Timing>& timings, double Timing::*field) { return Median(warmValues(timings, field)); };
    std::vector<double> kilobytes;
    for (size_t i = 1; i < program.size(); ++i) kilobytes.push_back(static_cast<double>(program[i].kilobytes));
    const double median = warm(program, &Timing::filled), empty = warm(program, &Timing::empty);
    printf("first page filled: wizard cold %.3f s, median of %d warm runs %.3f s (target < 0.5 s); bare WebKitGTK window %.3f s\n",
           program[0].filled, runs - 1, median, warm(bare, &Timing::filled));
    printf("window on screen with nothing drawn: wizard cold %.3f s, median %.3f s (goal: none); bare window %.3f s\n",
           program[0].empty, empty, warm(bare, &Timing::empty));
    const Measure::Spread ratios = Measure::Ratios(warmValues(program, &Timing::filled), warmValues(bare, &Timing::filled));
    printf("first page filled over the bare window's, same rounds: min/median/max %.2f / %.2f / %.2f\n", ratios.min,
           ratios.median, ratios.max);
    printf("memory at that moment, program and its web processes: median %.1f MB\n", Median(kilobytes) / 1024.0);
    return median < 0.5 ? 0 : 1;
}
