#pragma once

// A private Wayland compositor for end-to-end tests: weston, drawing its
// one output into a window on a test's own X server (its X11 backend, with
// the software renderer; the headless backend offers no input seat, without
// which SDL's Wayland driver can't start). It listens on a socket in a
// directory of its own, named in full by Display(), and is killed when the
// object goes away, which its clients see as a lost compositor.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include <chrono>
#include <memory>
#include <string>

class WestonServer {
public:
    // Starts weston on the X display `x` and waits up to `startTimeout`
    // until it listens. Throws, with its log, if it doesn't.
    explicit WestonServer(const std::string& x,
        std::chrono::milliseconds startTimeout = std::chrono::seconds(15));
    ~WestonServer();

    WestonServer(const WestonServer&) = delete;
    WestonServer& operator=(const WestonServer&) = delete;

    // The value for WAYLAND_DISPLAY: the socket's absolute path.
    std::string Display() const { return fDirectory.File(kSocket); }
    std::string Log() const;

private:
    static constexpr const char* kSocket = "wayland-test";
    TempDirectory fDirectory { "gw_weston" };
    std::unique_ptr<ChildProcess> fServer;
};
