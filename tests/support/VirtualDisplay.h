// A private X display (Xvfb) for the duration of one test; sets DISPLAY.
#ifndef VIRTUAL_DISPLAY_H
#define VIRTUAL_DISPLAY_H

#include <string>

class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    bool Running() const { return mPid > 0; }
    const std::string& Name() const { return mName; }  // ":<n>"

    // Saves the mapped top-level windows whose title contains titlePart (all of them when
    // empty) as one PNG, cut to their bounding box. False when there is none; blank is set
    // when the picture is one flat colour (nothing drawn).
    bool SaveWindows(const std::string& titlePart, const std::string& pngPath, bool& blank) const;
    // The same once something is drawn (up to seconds): another process's window paints a
    // moment after it maps, later on a busy machine.
    bool SaveWhenDrawn(const std::string& titlePart, const std::string& pngPath, int seconds, bool& blank) const;
    // Focuses the first mapped window whose title contains titlePart and types the key
    // (an X keysym name such as "Return") into it, as a keyboard would.
    bool PressKey(const std::string& titlePart, const std::string& keysym) const;
    // Types the key into the window until no such window is left (up to seconds): a key that
    // comes while the window is not yet ready for it is lost on a busy machine. Only for a key
    // that closes the window for good; true once it is gone.
    bool Dismiss(const std::string& titlePart, const std::string& keysym, int seconds) const;
    // Waits (up to seconds) for a mapped window whose title contains titlePart.
    bool WaitForWindow(const std::string& titlePart, int seconds) const;
    // Waits (up to seconds) until count windows whose title contains titlePart are mapped
    // (a dialog carries its window's title).
    bool WaitForWindows(const std::string& titlePart, size_t count, int seconds) const;

    // Where the tests leave their screenshots: <build>/screenshots/<name>.png.
    static std::string ScreenshotPath(const std::string& name);

private:
    void Stop();
    int mPid = -1;
    std::string mName;
};

#endif
