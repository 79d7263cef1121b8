#pragma once

// SdlVideo: the process's use of SDL's video subsystem, private to the
// platform's .cpp files. Video is initialised by whoever needs it and shut
// down when the last user releases it; the hints the platform relies on are
// set before the first initialisation. A mutex serialises these calls, so
// the main thread (BScreen, BAlert) and a window thread never initialise or
// shut down video at the same time. Between Acquire() and Release() only the
// acquiring thread makes video calls.

#include "platform/Rect.h"

#include <SDL.h>

#include <cstdint>
#include <mutex>
#include <string>

// A window's handle on the display, owned by the window's thread.
struct WindowDisplay {
    SDL_Window* window;
    Uint32 id;
};

class SdlVideo {
public:
    // Initialises video (if needed) for the calling thread's use. On failure
    // returns false with SDL's reason in `error`.
    static bool Acquire(std::string* error);
    // The same, but only when no other thread holds video; false otherwise.
    static bool AcquireUnshared(std::string* error);
    static void Release();
    // Whether video is open; call with Mutex() held.
    static bool IsHeld();
    // Whether the video driver in use shows windows to a user (X11 or
    // Wayland), rather than drawing them in memory; call with video held.
    static bool IsRealDriver();

    // The main display's rectangle, inclusive; invalid without a display.
    // Read once per process. When nobody holds video yet, this opens it and
    // hands it to the next Acquire(), so a window shown after asking for the
    // screen doesn't open the display twice.
    static BRect MainDisplayFrame();

    // The event type that wakes a waiting window thread.
    static uint32_t WakeEventType();

    // Held around every SDL hint change and subsystem start-up and shut-down
    // (audio included), and around message boxes shown while video is
    // closed, since SDL doesn't serialise them.
    static std::mutex& Mutex();

    // Rounds a frame to pixels: nearest, halves up (floor(x + 0.5)), both
    // edges included.
    static SDL_Rect PixelRect(BRect frame);

private:
    // Starts video; call with Mutex() held.
    static bool Initialise(std::string* error);
    static void SetHints();
    // Picks the video drivers to try; false when there is no display.
    static bool ChooseDriver(std::string* error);
    static void RememberDisplayFrame();
};
