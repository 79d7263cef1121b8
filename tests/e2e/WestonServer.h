#pragma once

// A private Wayland compositor for end-to-end tests: weston, drawing its
// one output into a window on a test's own X server (its X11 backend, with
// the software renderer; the headless backend offers no input seat), with
// nothing of its own drawn on black, where a window that goes stays drawn. It listens on a socket in a directory of
// its own, named in full by Display(), and is killed when the object goes
// away, which its clients see as a lost compositor. The test sees its
// clients' windows and clicks them through the X server.

#include "ChildProcess.h"
#include "TempDirectory.h"
#include "XClient.h"

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

class WestonServer {
public:
    // Starts weston on the X display `x`, its output 480 by 320 logical
    // units at `scale` pixels to the unit, and waits up to `startTimeout`
    // until it listens. Throws, with its log, if it doesn't.
    explicit WestonServer(const std::string& x, int scale = 1,
        std::chrono::milliseconds startTimeout = std::chrono::seconds(15));
    ~WestonServer();

    WestonServer(const WestonServer&) = delete;
    WestonServer& operator=(const WestonServer&) = delete;

    // The value for WAYLAND_DISPLAY: the socket's absolute path.
    std::string Display() const { return fDirectory.File(kSocket); }
    std::string Log() const;

    // The frames (x, y, width, height in the output's pixels) of what is
    // drawn on the black, a patch of touching pixels each.
    std::vector<std::array<int, 4>> Frames();
    // Clicks the output at `where`, in its pixels.
    void Click(std::array<int, 2> where);
    // Presses and lets go of `key`, for the window that has the keyboard:
    // the pointer must be on the output.
    void PressKey(KeySym key);

private:
    static constexpr const char* kSocket = "wayland-test";
    TempDirectory fDirectory { "gw_weston" };
    std::unique_ptr<ChildProcess> fServer;
    std::unique_ptr<XClient> fX;
    Window fOutput = 0;
};
