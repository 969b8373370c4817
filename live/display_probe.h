// Whether highgui can open a window here. The toolkit ends the process when there is no
// display, so on X11/Wayland systems a child process connects first. It stays connected until
// our own windows exist: a bare X server (Xvfb) resets when its last client leaves, and refuses
// whoever connects in that moment.
#pragma once

#include <atomic>
#include <string>

namespace live {

class DisplayProbe {
public:
    enum class Result { Connected, NoDisplay, Stopped };

    ~DisplayProbe() { release(); }

    // Stopped when `stopSignal` was raised while it waited for the child: a signal is no
    // missing display.
    Result connect(const std::atomic<int>& stopSignal, std::string& why);
    void release();

private:
    int child_ = -1;
};

}  // namespace live
