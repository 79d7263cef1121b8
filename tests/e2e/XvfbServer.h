#pragma once

// A private X server for end-to-end tests: Xvfb with one 1024x768 24-bit
// screen, no TCP, on the first free display number (Xvfb picks it and tells
// us through -displayfd). It runs as whatever user the tests run as, root
// included, and is killed when the object goes away.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include <chrono>
#include <memory>
#include <string>

class XvfbServer {
public:
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 768;

    // Starts the server and waits up to `startTimeout` until it accepts
    // connections. Throws, with the server's log, if it doesn't.
    explicit XvfbServer(std::chrono::milliseconds startTimeout = std::chrono::seconds(15));
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // The value for DISPLAY, e.g. ":3".
    const std::string& Display() const { return fDisplay; }
    std::string Log() const;

private:
    TempDirectory fDirectory;
    std::unique_ptr<ChildProcess> fServer;
    std::string fDisplay;
};

// A display that accepts connections and never answers, as a hung X server
// does: a listening socket in the abstract namespace, where Xlib looks
// first, on a display number nobody uses; and a Wayland compositor alike, a
// socket in a directory of its own. Closed when the object goes away.
class MuteDisplay {
public:
    MuteDisplay();
    ~MuteDisplay();

    MuteDisplay(const MuteDisplay&) = delete;
    MuteDisplay& operator=(const MuteDisplay&) = delete;

    // The value for DISPLAY, e.g. ":1000"; empty if no socket could be had.
    const std::string& Display() const { return fDisplay; }
    // The value for WAYLAND_DISPLAY: the mute compositor's socket.
    std::string WaylandDisplay() const { return fWaylandDirectory.File("wayland-mute"); }
    // Whether a client has connected, and waits for an answer.
    bool Called() const;

private:
    int fSocket = -1;
    std::string fDisplay;
    TempDirectory fWaylandDirectory { "gw_mute" };
    int fWaylandSocket = -1;
};
