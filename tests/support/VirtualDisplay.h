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

private:
    void Stop();
    int mPid = -1;
    std::string mName;
};

#endif
