#pragma once

// SdlVideo: the process's use of SDL's video subsystem. Video is initialised
// by whoever needs it and shut down when the last user releases it; the
// hints the platform relies on are set before the first initialisation.
// SdlLock() serialises these calls, so the application, BScreen, BAlert and
// a window thread never initialise or shut down video at the same time.
// Between Acquire() and Release() only the acquiring thread makes video
// calls.

#include "Rect.h"
#include "Result.h"

#include <SDL.h>

#include <cstdint>
#include <memory>
#include <string>

class MotionSetting;
class WaylandWindow;

// A window's handle on the display, owned by the window's thread.
struct WindowDisplay {
    WindowDisplay(SDL_Window* window, std::unique_ptr<MotionSetting> motion);
    WindowDisplay(std::unique_ptr<WaylandWindow> wayland, std::unique_ptr<MotionSetting> motion);
    ~WindowDisplay();

    // Where the window's picture is drawn, in pixels; null if it can't be.
    SDL_Surface* Picture() const;
    // Puts what was drawn on screen.
    void Show();
    // Shows a picture that had to wait for the compositor, if it can now.
    void ShowWaiting();

    // SDL's window on X11; null on Wayland.
    SDL_Window* window;
    // The window's id in the events it gets.
    Uint32 id;
    // The X window behind it; 0 on Wayland.
    unsigned long x11Id;
    // The window on Wayland; null on X11.
    std::unique_ptr<WaylandWindow> wayland;
    // Whether the user asked the display for reduced animation.
    std::unique_ptr<MotionSetting> motion;
};

class SdlVideo {
public:
    // Initialises video (if needed) for the calling thread's use; fails
    // with SDL's reason.
    static Result<> Acquire();
    // The same, but only when no other thread holds video.
    static Result<> AcquireUnshared();
    // Sets what the display libraries read from the environment, for a
    // process that takes no typed text and wants no helper processes. Call
    // it before any other thread exists.
    static void PrepareEnvironment();
    // Whether there is a display to open, as far as the environment tells;
    // fails with the reason when there is none.
    static Result<> CheckDisplay();
    // Opens video, unless it is open, and keeps it for the next Acquire().
    // Fails when there is no display, or only a video driver that shows no
    // window (SDL's offscreen or dummy drivers are refused).
    static Result<> Open();
    static void Release();
    // Whether the video driver in use shows windows to a user (X11 or
    // Wayland), rather than drawing them in memory; call with video held.
    static bool IsRealDriver();

    // The main display's rectangle in units, inclusive; invalid without a
    // display. Read once per process. When nobody holds video yet, this
    // opens it and hands it to the next Acquire(), so a window shown after
    // asking for the screen doesn't open the display twice.
    static BRect MainDisplayFrame();

    // How many pixels a unit is across, a whole factor: GW_SCALE if set,
    // else GDK_SCALE, else from the X server's Xft.dpi (96 dpi is 1, 192 is
    // 2, halves round up), or on Wayland from the outputs' scale, counted
    // alike (a fractional 1.5 is 2). Fixed once video has first started; 1
    // before that.
    static int Scale();
    // Whether windows are on a Wayland compositor; false before video has
    // started and after it has stopped.
    static bool IsWayland();

    // The event type that wakes a waiting window thread.
    static uint32_t WakeEventType();
    // The events of the display's windows: SDL's queue on X11, the kit's
    // own on Wayland. WaitEvent() waits up to `timeoutMillis` (-1: for
    // ever); each returns whether an event came or was queued.
    static bool WaitEvent(SDL_Event* event, int timeoutMillis);
    static bool PollEvent(SDL_Event* event);
    static bool PushEvent(SDL_Event& event);
    // Ends the process as LostDisplay::End() does when `event` says that
    // the connection to the display broke: the kit's Wayland connection
    // sends one SDL_QUIT then. (The hints keep SDL from sending any for
    // signals or closed windows.) Call it for every event a thread takes.
    static void EndIfLost(const SDL_Event& event);

    // A frame in units in pixels: the corner is the nearest pixel to it
    // times the scale (halves up, floor(x * scale + 0.5)); the size is the
    // frame's, both edges rounded and included, times the scale. At scale
    // 1, (501.5, 393.5, 521.5, 413.5) is 21 by 21 pixels at (502, 394).
    static SDL_Rect PixelRect(BRect frame);
    // The same in the coordinates of SDL's windows and mouse: pixels on
    // X11; on Wayland the compositor's logical units, one to a unit, which
    // it shows at its own scale.
    static SDL_Rect WindowRect(BRect frame);
    static int WindowScale();

private:
    // Starts video; call with SdlLock() held.
    static Result<> Initialise();
    // Connects to the Wayland compositor, for windows of the kit's own.
    static Result<> OpenWayland();
    static void SetHints();
    // Picks the video drivers to try; false when there is no display.
    // Call with SdlLock() held.
    static Result<> ChooseDriver();
    // `dpi` is the X server's Xft.dpi, 0 when there is none.
    static void ChooseScale(int dpi);
    static void RememberDisplayFrame();
};
