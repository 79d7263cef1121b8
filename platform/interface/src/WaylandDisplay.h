#pragma once

// WaylandDisplay: the process's connection to a Wayland compositor, made by
// the kit itself rather than by SDL, whose Wayland windows all carry an
// OpenGL surface (tens of megabytes an instance, in software). A thread of
// its own reads the compositor's events and turns input into SDL events on
// a queue of ours, so that a window's loop is the same on X11 and Wayland;
// windows (WaylandWindow) send their requests from their own threads.

#include "Result.h"

#include <SDL.h>

#include <cstdint>
#include <mutex>

struct wl_compositor;
struct wl_display;
struct wl_shm;
struct wl_surface;
struct xdg_wm_base;
struct zxdg_decoration_manager_v1;

class WaylandDisplay {
public:
    // Connects to the compositor at `name` (WAYLAND_DISPLAY's form), learns
    // its globals and outputs, waiting for it at most `timeoutMillis`, and
    // starts reading its events.
    static Result<> Open(const char* name, int timeoutMillis);
    static void Close();

    // The queue that takes the place of SDL's. WaitEvent() waits up to
    // `timeoutMillis` (-1: for ever) for one; both return whether one came.
    static bool WaitEvent(SDL_Event* event, int timeoutMillis);
    static bool PollEvent(SDL_Event* event);
    static void PushEvent(const SDL_Event& event);

    // The first output, in the compositor's logical units; false when it
    // told nothing of it.
    static bool OutputFrame(SDL_Rect* frame);
    // The outputs' pixels per logical unit in dots per inch, 96 to a unit
    // as Xft.dpi counts: a fraction where the compositor scales by one (an
    // output of 1920 pixels across shown as 1280 units is 144), the largest
    // of them; 0 when unknown.
    static int OutputDpi();

    // What windows are made with; valid while the display is open.
    static wl_display* Display();
    static wl_compositor* Compositor();
    static wl_shm* Shm();
    static xdg_wm_base* Shell();
    // Null where the compositor doesn't let windows choose their frame.
    static zxdg_decoration_manager_v1* Decorations();
    // Held while events are dispatched: destroy an object under it, so
    // that no event for it is being handled meanwhile.
    static std::mutex& DispatchLock();
    // A window id for SDL's events, never 0; `surface`'s input goes to it.
    static uint32_t Track(wl_surface* surface);
};
