#pragma once

// BWindow: a top-level window with its own thread. Creating one touches no
// display: until Show() it is a plain object of the creating thread, whose
// hooks may be called directly. Show() starts the window's thread, which
// makes all display calls for the window's life: it opens the window, waits
// for input, messages and pulses, and redraws invalidated views. Every hook
// (the views' Draw, MouseDown and Pulse, and MessageReceived and
// QuitRequested) runs on that thread with the window locked, so a Lock()
// held by another thread holds all of them back until Unlock().
//
// A view's drawing goes on screen as soon as it is done, unless the user
// asked for reduced animation (GW_REDUCED_MOTION=1, or the desktop's own
// setting, followed while the window is open): then the window shows its
// newest picture at most three times a second. Views draw as often either
// way.
//
// A close from the window manager, Ctrl+W or Alt+F4 arrives as a
// B_QUIT_REQUESTED; the window closes if QuitRequested() says yes. A closed
// window is deleted on its own thread (see BLooper::Quit()). A process shows
// one window at a time; the application ends them all on its way out
// (see WindowList).
//
// Frames are inclusive and fractional coordinates round to the nearest
// pixel, halves up (floor(x + 0.5)): (0, 0, 20, 20) is 21 by 21 pixels and
// a left edge of 501.5 lands on pixel 502.

#include "InterfaceDefs.h"
#include "Looper.h"
#include "Rect.h"
#include "Result.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class BView;
class PresentPacer;
struct WindowDisplay;

class BWindow : public BLooper {
public:
    // Windows are never resizable or zoomable and open on the current
    // workspace, so `flags` and `workspace` change nothing.
    BWindow(BRect frame, const char* title, window_type type, uint32 flags,
        uint32 workspace = B_CURRENT_WORKSPACE);
    // Subclass destructors run first; the base then deletes the views.
    ~BWindow() override;

    // Opens the window: starts its thread. Later calls do nothing.
    void Show();
    // The window's thread runs only once the window is shown.
    thread_id Run() override;
    bool IsHidden() const;

    bool QuitRequested() override;
    void MessageReceived(BMessage* message) override;

    // The window takes ownership of `view`.
    void AddChild(BView* view);

    BRect Frame() const { return fFrame; }
    BRect Bounds() const { return fFrame.OffsetToCopy(BPoint(0, 0)); }
    const char* Title() const { return fTitle.c_str(); }

    // Views with B_PULSE_NEEDED get Pulse() every `rate` microseconds, on a
    // fixed schedule; 0 stops pulsing. The default is 500000.
    void SetPulseRate(bigtime_t rate);
    bigtime_t PulseRate() const;
    // When the next pulse is due, in system_time(), or -1 when none is
    // scheduled (no pulses, or a window not yet shown). With the window
    // locked.
    bigtime_t NextPulseTime() const { return fNextPulse; }

    // A window that is never shown can be run by hand instead, on the thread
    // that created it, with no display. Each call is one turn of the loop a
    // shown window's thread runs, as it goes when no input waits: it handles
    // the messages queued now, pulses the views when `pulse` is true, then
    // runs Draw() for the views waiting to be redrawn, with nothing to draw
    // on (DrawString() draws and measures nothing) and nothing to show it
    // on, paced as a shown window's pictures are. Does nothing once the
    // window is shown.
    void TakeTurn(bool pulse);

    // Adds an image of the icon every window of the process shows in task
    // bars and window switchers: `size` by `size` ARGB pixels, row by row.
    // Windows offer the icon at 16, 32, 48 and 64 pixels, each scaled up
    // without smoothing from the largest image that divides it. Call it
    // before showing windows.
    static void SetIcon(const uint32* pixels, int32 size);

protected:
    void MessageQueued() override;
    bool HasThread() const override;
    std::function<void()> TakeThreadWaiter() override;

private:
    friend class BAlert;
    friend class BView;
    // The window whose thread calls this; nullptr on other threads.
    static BWindow* OfThisThread();
    static void ThreadMain(BWindow* window, uint64 serial);

    // Opens the window on the display. A modal window is placed over
    // `owner`, kept above it, and given up on with it.
    Result<> OpenDisplay(const BWindow* owner = nullptr);
    // The window on the display in use, with `owner` as its box's owner.
    Result<WindowDisplay*> OpenX11Window(const BWindow* owner);
    Result<WindowDisplay*> OpenWaylandWindow(const BWindow* owner);
    void CloseDisplay();
    // One turn of the window thread's loop: waits for input, a message or
    // the next pulse, then handles what came with the window locked.
    void LoopOnce();
    // Opens the modal window `box` and runs turns of this window's loop
    // until either quits, then closes the box. Meanwhile the box gets its
    // own events and messages and draws, this window's clicks are dropped,
    // and no pulse or message of its own is handled but a quit request; a
    // close, an outside destroy or a quit still end it. Call it on the
    // window's thread, from a hook.
    void RunModal(BWindow& box);
    // Opens this modal window and runs its loop on the calling thread, which
    // shows no other window, until it quits.
    void RunAlone();
    // Whether `event` is input or a window event of this window's, or the
    // notice that another client destroyed it.
    bool Owns(const void* event) const;
    void HandleEvent(const void* event);
    // Handles the messages and draws the views of the modal window this
    // window's loop runs.
    void TurnModal();
    void RequestQuit();
    void HandleMessages();
    void PulseViews();
    // Runs Draw() for the views waiting to be redrawn, then shows the
    // newest picture when the pacer lets it.
    void DrawDirtyViews();
    // Makes the window thread look at its queue and dirty views soon.
    void Wake();
    BView* ViewAt(BPoint where) const;

    BRect fFrame;
    std::string fTitle;
    window_type fType;
    std::vector<BView*> fViews;
    std::atomic<bigtime_t> fPulseRate { 500000 };
    std::atomic<bool> fShown { false };
    std::atomic<bool> fWakePending { false };
    std::atomic<bool> fDisplayOpen { false };
    // Owned by the window thread.
    WindowDisplay* fDisplay = nullptr;
    BWindow* fModal = nullptr;
    // The view told of keys, and the one a button went down on.
    BView* fFocus = nullptr;
    BView* fMouseView = nullptr;
    // When drawn pictures go on screen; the window thread's, or the
    // creating thread's while the window runs by hand.
    std::unique_ptr<PresentPacer> fPacer;
    bigtime_t fNextPulse = -1;
    bigtime_t fScheduledRate = 0;
    uint64 fSerial;
};
