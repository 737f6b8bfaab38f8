#include "VirtualDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <vector>

#include "TestSandbox.h"

namespace {

// A window that goes away while it is looked at is no reason to end the test program.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
typedef std::unique_ptr<Display, DisplayCloser> DisplayHandle;

DisplayHandle Open(const std::string& name) {
    XSetErrorHandler(IgnoreErrors);
    return DisplayHandle(XOpenDisplay(name.c_str()));
}

struct Found {
    Window window;
    int x, y, width, height;
};

std::string TitleOf(Display* display, Window window) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 4096, False, utf8, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
    }
    if (data != nullptr) XFree(data);
    return title;
}

// The mapped top-level windows, bottom to top, whose title contains the part.
std::vector<Found> TopLevels(Display* display, const std::string& titlePart) {
    std::vector<Found> found;
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) return found;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable) continue;
        if (attributes.width < 40 || attributes.height < 40) continue;
        const std::string title = TitleOf(display, children[i]);
        if (title.empty() || title.find(titlePart) == std::string::npos) continue;
        found.push_back(Found{children[i], attributes.x, attributes.y, attributes.width, attributes.height});
    }
    if (children != nullptr) XFree(children);
    return found;
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
    for (int number = 90 + getpid() % 500; number < 1000 && mPid <= 0; number += 7) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        if (TestFiles::Exists(socket) || TestFiles::Exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
        // -noreset: a server resets when its last client leaves, and a program that connects
        // meanwhile (the next step's) has its connection reset.
        mPid = TestProcess::Spawn(
            {"/usr/bin/Xvfb", ":" + std::to_string(number), "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24"});
        // In a /tmp of its own a test sees no other server's files, but the servers' abstract
        // sockets are shared: a number in use elsewhere makes this server end at once.
        bool ended = false;
        for (int wait = 0; wait < 100 && !TestFiles::Exists(socket) && !ended; ++wait) {
            ended = waitpid(mPid, nullptr, WNOHANG) == mPid;
            if (!ended) usleep(50000);
        }
        if (!TestFiles::Exists(socket)) {
            if (ended) mPid = -1;
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

std::string VirtualDisplay::ScreenshotPath(const std::string& name) {
    TestFiles::MakeFolders(SCREENSHOT_DIR);
    return std::string(SCREENSHOT_DIR) + "/" + name + ".png";
}

bool VirtualDisplay::SaveWhenDrawn(const std::string& titlePart, const std::string& pngPath, int seconds,
                                   bool& blank) const {
    bool saved = SaveWindows(titlePart, pngPath, blank);
    for (int i = 0; i < seconds * 10 && saved && blank; ++i) {
        usleep(100000);
        saved = SaveWindows(titlePart, pngPath, blank);
    }
    return saved;
}

bool VirtualDisplay::WaitForWindow(const std::string& titlePart, int seconds) const {
    DisplayHandle display(Open(mName));
    if (!display) return false;
    for (int i = 0;; ++i) {
        if (!TopLevels(display.get(), titlePart).empty()) return true;
        if (i >= seconds * 20) return false;
        usleep(50000);
    }
}

bool VirtualDisplay::Dismiss(const std::string& titlePart, const std::string& keysym, int seconds) const {
    DisplayHandle display(Open(mName));
    if (!display) return false;
    for (int i = 0; i < seconds * 20; ++i) {
        if (TopLevels(display.get(), titlePart).empty()) return true;
        if (i % 40 == 0) PressKey(titlePart, keysym);  // again each two seconds it stays
        usleep(50000);
    }
    return TopLevels(display.get(), titlePart).empty();
}

bool VirtualDisplay::WaitForWindows(const std::string& titlePart, size_t count, int seconds) const {
    DisplayHandle display(Open(mName));
    if (!display) return false;
    for (int i = 0;; ++i) {
        if (TopLevels(display.get(), titlePart).size() >= count) return true;
        if (i >= seconds * 20) return false;
        usleep(50000);
    }
}

bool VirtualDisplay::SaveWindows(const std::string& titlePart, const std::string& pngPath, bool& blank) const {
    blank = true;
    DisplayHandle display(Open(mName));
    if (!display) return false;
    const std::vector<Found> windows = TopLevels(display.get(), titlePart);
    if (windows.empty()) return false;
    int left = windows[0].x, top = windows[0].y, right = left + windows[0].width, bottom = top + windows[0].height;
    for (const Found& w : windows) {
        left = std::min(left, w.x);
        top = std::min(top, w.y);
        right = std::max(right, w.x + w.width);
        bottom = std::max(bottom, w.y + w.height);
    }
    const int screenWidth = DisplayWidth(display.get(), 0), screenHeight = DisplayHeight(display.get(), 0);
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, screenWidth);
    bottom = std::min(bottom, screenHeight);
    if (right <= left || bottom <= top) return false;
    XImage* image = XGetImage(display.get(), DefaultRootWindow(display.get()), left, top, static_cast<unsigned>(right - left),
                              static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, right - left, bottom - top);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    std::set<unsigned long> colours;
    for (int y = 0; y < bottom - top; ++y) {
        for (int x = 0; x < right - left; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            if (colours.size() < 16) colours.insert(pixel);
            guchar* out = pixels + y * stride + x * 3;
            out[0] = static_cast<guchar>((pixel & image->red_mask) >> 16);
            out[1] = static_cast<guchar>((pixel & image->green_mask) >> 8);
            out[2] = static_cast<guchar>(pixel & image->blue_mask);
        }
    }
    XDestroyImage(image);
    // Text, buttons and lists give many colours; an undrawn window has one or two.
    blank = colours.size() < 8;
    const bool saved = gdk_pixbuf_save(pixbuf, pngPath.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
    return saved;
}

bool VirtualDisplay::PressKey(const std::string& titlePart, const std::string& keysym) const {
    DisplayHandle display(Open(mName));
    if (!display) return false;
    const std::vector<Found> windows = TopLevels(display.get(), titlePart);
    const KeySym sym = XStringToKeysym(keysym.c_str());
    const KeyCode code = sym != NoSymbol ? XKeysymToKeycode(display.get(), sym) : 0;
    if (windows.empty() || code == 0) return false;
    const Window target = windows.back().window;
    XRaiseWindow(display.get(), target);
    XSetInputFocus(display.get(), target, RevertToPointerRoot, CurrentTime);
    XTestFakeMotionEvent(display.get(), -1, windows.back().x + windows.back().width / 2, windows.back().y + 10, CurrentTime);
    XSync(display.get(), False);
    usleep(200000);  // the window takes the focus before the key arrives
    XTestFakeKeyEvent(display.get(), code, True, CurrentTime);
    XTestFakeKeyEvent(display.get(), code, False, CurrentTime);
    XSync(display.get(), False);
    return true;
}
