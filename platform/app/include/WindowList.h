#pragma once

// The process's windows, as the application sees them: each window is a
// looper with a thread of its own once shown. The list lets the application
// post to "the window" and end every window on its way out, and lets a
// window that is quitting wait for its thread. A shown window's record
// outlives the window until someone joins its thread. Safe from any thread.

#include "Result.h"
#include "SupportDefs.h"

#include <functional>

class BLooper;
class BMessage;

class WindowList {
public:
    // Adds `window`, not yet shown; returns the serial number that names
    // it from now on.
    static uint64 Add(BLooper* window);
    // Drops the record of a window that is deleted without ever having
    // been shown; a shown window's record stays for its thread.
    static void RemoveUnshown(uint64 serial);
    // Starts the window's thread, which runs `body`.
    static void StartThread(uint64 serial, std::function<void()> body);
    // Called by the window's thread before it deletes the window: the
    // record no longer names it.
    static void Forget(uint64 serial);
    // Waits until the window's thread has ended; returns at once when it
    // has been joined already, or waits for whoever joins it.
    static void WaitForThread(uint64 serial);

    // Ends every window (without asking QuitRequested()) and waits until
    // their threads are gone; windows never shown are deleted. A window's
    // thread can be held up by a display or window manager that doesn't
    // answer, in a wait of the display library's that nothing interrupts:
    // a thread that hasn't ended within kQuitPatienceMillis is left there,
    // and QuitAll() fails with B_TIMED_OUT: the process is to end at once,
    // and the sound with it.
    static constexpr int kQuitPatienceMillis = 800;
    static Result<> QuitAll();
    // Posts `message` to the first window still open; B_ERROR when there
    // is none, B_WOULD_BLOCK when its queue is full.
    static Result<> PostToFirst(BMessage* message);
};
