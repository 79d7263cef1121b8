// The window's thread: it opens the window on the display, then waits for
// input, messages and the next pulse, handles what came with the window
// locked, and redraws what was invalidated, until the window quits.

#include "Window.h"

#include "Clock.h"
#include "Font.h"
#include "MotionSetting.h"
#include "PresentPacer.h"
#include "Report.h"
#include "SdlVideo.h"
#include "View.h"
#include "ViewDrawing.h"
#include "WaylandWindow.h"
#include "WindowIcon.h"
#include "WindowList.h"
#include "X11Window.h"

#include <SDL.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>

namespace {

// The window whose thread this is.
thread_local BWindow* tWindowOfThread = nullptr;

constexpr bigtime_t kFontIdleTime = 1000000;

// Moves `rect` (pixels) to the middle of `owner`, within its display, or of
// the screen when there is no owner.
void PlaceOver(SDL_Window* owner, SDL_Rect& rect)
{
    if (owner == nullptr) {
        rect.x = rect.y = SDL_WINDOWPOS_CENTERED;
        return;
    }
    int left = 0, top = 0, width = 0, height = 0;
    SDL_GetWindowPosition(owner, &left, &top);
    SDL_GetWindowSize(owner, &width, &height);
    rect.x = left + width / 2 - rect.w / 2;
    rect.y = top + height / 2 - rect.h / 2;
    SDL_Rect display;
    int index = SDL_GetWindowDisplayIndex(owner);
    if (index >= 0 && SDL_GetDisplayBounds(index, &display) == 0) {
        rect.x = std::clamp(rect.x, display.x, std::max(display.x, display.x + display.w - rect.w));
        rect.y = std::clamp(rect.y, display.y, std::max(display.y, display.y + display.h - rect.h));
    }
}

// Where a mouse button went down or up, in window units.
BPoint ButtonPoint(const SDL_Event& event)
{
    float scale = static_cast<float>(SdlVideo::WindowScale());
    return BPoint(event.button.x / scale, event.button.y / scale);
}

} // namespace

BWindow* BWindow::OfThisThread()
{
    return tWindowOfThread;
}

void BWindow::ThreadMain(BWindow* window, uint64 serial)
{
    tWindowOfThread = window;
    window->SetLooperThread(std::this_thread::get_id());
    Result<> open = window->OpenDisplay();
    // Without a display the window can't be seen or closed: treat it as
    // closed by the user, and let the program decide what follows.
    if (!open) {
        ReportFailure("open a window", open.error());
        window->PostMessage(B_QUIT_REQUESTED);
    }
    while (!window->IsQuitting())
        window->LoopOnce();
    window->CloseDisplay();
    WindowList::Forget(serial);
    tWindowOfThread = nullptr;
    delete window;
    // The text libraries go with the window that drew with them.
    Font::Unload();
}

Result<> BWindow::OpenDisplay(const BWindow* owner)
{
    if (Result<> video = SdlVideo::Acquire(); !video)
        return video;
    Result<WindowDisplay*> display = SdlVideo::IsWayland() ? OpenWaylandWindow(owner)
                                                           : OpenX11Window(owner);
    if (!display) {
        SdlVideo::Release();
        return display.error();
    }
    fDisplay = *display;
    if (fDisplay->motion != nullptr)
        fPacer->SetCalm(fDisplay->motion->Reduced());
    Lock();
    for (BView* view : fViews)
        view->fDirty = view->Bounds();
    Unlock();
    fDisplayOpen = true;
    return {};
}

Result<WindowDisplay*> BWindow::OpenX11Window(const BWindow* owner)
{
    SDL_Rect rect = SdlVideo::WindowRect(fFrame);
    bool modal = fType == B_MODAL_WINDOW;
    if (modal)
        PlaceOver(owner != nullptr ? owner->fDisplay->window : nullptr, rect);
    // Hidden until the window manager has been told all about it.
    Uint32 flags = SDL_WINDOW_HIDDEN;
    if (fType == B_BORDERED_WINDOW)
        flags |= SDL_WINDOW_BORDERLESS;
    SDL_Window* window = SDL_CreateWindow(fTitle.c_str(), rect.x, rect.y, rect.w, rect.h, flags);
    if (window == nullptr)
        return Error { B_ERROR, SDL_GetError() };
    if (fType == B_BORDERED_WINDOW)
        X11Window::SetNoDecorations(window);
    if (owner != nullptr)
        SDL_SetWindowModalFor(window, owner->fDisplay->window);
    X11Window::Show(window, [this, owner] {
        return IsQuitting() || (owner != nullptr && owner->IsQuitting());
    });
    // The icon once the window shows: nothing waits for it.
    X11Window::SetIcon(window, WindowIconImages());
    if (modal)
        SDL_RaiseWindow(window);
    // A modal window comes and goes too soon to follow the desktop.
    return new WindowDisplay(window, modal ? nullptr : std::make_unique<MotionSetting>(window));
}

Result<WindowDisplay*> BWindow::OpenWaylandWindow(const BWindow* owner)
{
    // The compositor places it, and shows it once it has a picture.
    SDL_Rect rect = SdlVideo::WindowRect(fFrame);
    const WaylandWindow* parent = owner != nullptr ? owner->fDisplay->wayland.get() : nullptr;
    auto window = WaylandWindow::Create(fTitle, ProgramName(), rect.w, rect.h, SdlVideo::Scale(), parent);
    if (!window)
        return window.error();
    bool modal = fType == B_MODAL_WINDOW;
    return new WindowDisplay(std::move(*window), modal ? nullptr : std::make_unique<MotionSetting>(nullptr));
}

void BWindow::CloseDisplay()
{
    fDisplayOpen = false;
    if (fDisplay == nullptr)
        return;
    if (fDisplay->window != nullptr) {
        X11Window::PrepareDestroy(fDisplay->window);
        SDL_DestroyWindow(fDisplay->window);
    }
    delete fDisplay;
    fDisplay = nullptr;
    SdlVideo::Release();
}

void BWindow::LoopOnce()
{
    bigtime_t rate = fPulseRate;
    if (rate != fScheduledRate) {
        fScheduledRate = rate;
        fNextPulse = rate > 0 ? system_time() + rate : -1;
    }
    // A modal box holds pulses back: its turns wait for input or a wake-up.
    bool modal = fModal != nullptr;

    SDL_Event event;
    bool gotEvent = false;
    if (fDisplay != nullptr) {
        // Until the next pulse, or until a picture held back may be shown.
        bigtime_t wake = modal ? -1 : fNextPulse;
        bigtime_t shown = fPacer->Due();
        if (shown >= 0 && (wake < 0 || shown < wake))
            wake = shown;
        int timeout = -1;
        if (wake >= 0) {
            bigtime_t left = wake - system_time();
            timeout = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
        }
        gotEvent = SdlVideo::WaitEvent(&event, timeout);
    } else {
        WaitForMessage(fNextPulse);
    }

    Lock();
    fWakePending = false;
    if (gotEvent) {
        HandleEvent(&event);
        while (!IsQuitting() && SdlVideo::PollEvent(&event))
            HandleEvent(&event);
    }
    if (fDisplay != nullptr && fDisplay->motion != nullptr) {
        fDisplay->motion->Update();
        fPacer->SetCalm(fDisplay->motion->Reduced());
    }
    if (!IsQuitting() && modal) {
        BMessage quit;
        if (TakeQuitRequest(&quit))
            DispatchMessage(&quit, this);
        if (!IsQuitting())
            TurnModal();
    } else if (!IsQuitting()) {
        HandleMessages();
    }
    if (!IsQuitting() && !modal && fNextPulse >= 0) {
        bigtime_t now = system_time();
        if (now >= fNextPulse) {
            PulseViews();
            // Keep to the schedule; pulses missed while the window was held
            // up are dropped, not made up.
            fNextPulse += ((now - fNextPulse) / fScheduledRate + 1) * fScheduledRate;
        }
    }
    if (!IsQuitting())
        DrawDirtyViews();
    Unlock();
    // Views keep the text they rendered, so the text libraries can go once
    // no new string has needed them for a while.
    Font::UnloadIfUnusedFor(kFontIdleTime);
}

void BWindow::RunModal(BWindow& box)
{
    // One loop per thread: the box is a state of this window's loop, so
    // that nothing the window must hear of (its destruction above all)
    // goes to a loop that doesn't know the window.
    box.SetLooperThread(std::this_thread::get_id());
    if (!box.OpenDisplay(this))
        return;
    BWindow* outer = fModal;
    fModal = &box;
    Lock();
    TurnModal();
    Unlock();
    while (!box.IsQuitting() && !IsQuitting())
        LoopOnce();
    fModal = outer;
    box.CloseDisplay();
}

void BWindow::TurnModal()
{
    BWindow& box = *fModal;
    box.Lock();
    box.fWakePending = false;
    box.HandleMessages();
    if (!box.IsQuitting())
        box.DrawDirtyViews();
    box.Unlock();
}

void BWindow::RunAlone()
{
    SetLooperThread(std::this_thread::get_id());
    if (!OpenDisplay())
        return;
    Lock();
    DrawDirtyViews();
    Unlock();
    while (!IsQuitting())
        LoopOnce();
    CloseDisplay();
}

void BWindow::TakeTurn(bool pulse)
{
    if (fShown)
        return;
    Lock();
    HandleMessages();
    if (pulse && !IsQuitting())
        PulseViews();
    if (!IsQuitting())
        DrawDirtyViews();
    Unlock();
}

void BWindow::HandleEvent(const void* data)
{
    const SDL_Event& event = *static_cast<const SDL_Event*>(data);
    SdlVideo::EndIfLost(event);
    if (fModal != nullptr && fModal->Owns(&event)) {
        fModal->Lock();
        fModal->HandleEvent(&event);
        fModal->Unlock();
        return;
    }
    switch (event.type) {
    case SDL_SYSWMEVENT:
        // Destroyed by another client: as good as closed.
        if (X11Window::IsDestroyNotify(event, fDisplay->x11Id))
            RequestQuit();
        if (fDisplay->motion != nullptr)
            fDisplay->motion->HandleEvent(event);
        break;
    case SDL_MOUSEBUTTONDOWN:
        // While a box is modal, clicks on the window go nowhere.
        if (event.button.windowID == fDisplay->id && fModal == nullptr) {
            fMouseView = ViewAt(ButtonPoint(event));
            if (fMouseView != nullptr)
                fMouseView->MouseDown(fMouseView->FromWindow(ButtonPoint(event)));
        }
        break;
    case SDL_MOUSEBUTTONUP:
        if (event.button.windowID == fDisplay->id && fMouseView != nullptr) {
            BView* view = std::exchange(fMouseView, nullptr);
            view->MouseUp(view->FromWindow(ButtonPoint(event)));
        }
        break;
    case SDL_WINDOWEVENT:
        if (event.window.windowID != fDisplay->id)
            break;
        if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
            RequestQuit();
        } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED
            || event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
            for (BView* view : fViews)
                view->fDirty = view->Bounds();
        }
        break;
    case SDL_KEYDOWN: {
        SDL_Keycode key = event.key.keysym.sym;
        Uint16 modifiers = event.key.keysym.mod;
        if ((key == SDLK_w && (modifiers & KMOD_CTRL) != 0)
            || (key == SDLK_F4 && (modifiers & KMOD_ALT) != 0)) {
            RequestQuit();
        } else if (fFocus != nullptr && event.key.windowID == fDisplay->id) {
            char byte = key == SDLK_RETURN || key == SDLK_KP_ENTER ? B_ENTER
                : key == SDLK_ESCAPE                               ? B_ESCAPE
                                                                   : 0;
            if (byte != 0)
                fFocus->KeyDown(&byte, 1);
        }
        break;
    }
    default:
        break;
    }
}

bool BWindow::Owns(const void* data) const
{
    const SDL_Event& event = *static_cast<const SDL_Event*>(data);
    if (fDisplay == nullptr)
        return false;
    switch (event.type) {
    case SDL_WINDOWEVENT:
        return event.window.windowID == fDisplay->id;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        return event.button.windowID == fDisplay->id;
    case SDL_KEYDOWN:
        return event.key.windowID == fDisplay->id;
    case SDL_SYSWMEVENT:
        return X11Window::IsDestroyNotify(event, fDisplay->x11Id);
    default:
        return false;
    }
}

void BWindow::RequestQuit()
{
    BMessage message(B_QUIT_REQUESTED);
    DispatchMessage(&message, this);
}

void BWindow::HandleMessages()
{
    // Only what is queued now: a hook that posts to its own window gets its
    // message handled on the next turn, after input and pulses.
    int32 count = CountQueuedMessages();
    BMessage message;
    while (count-- > 0 && !IsQuitting() && TakeNextMessage(&message))
        DispatchMessage(&message, this);
}

void BWindow::PulseViews()
{
    for (BView* view : fViews) {
        if ((view->fFlags & B_PULSE_NEEDED) != 0)
            view->Pulse();
        if (IsQuitting())
            return;
    }
}

void BWindow::DrawDirtyViews()
{
    // A window run by hand draws into nothing.
    SDL_Surface* surface = nullptr;
    if (fDisplay != nullptr && (surface = fDisplay->Picture()) == nullptr)
        return;
    bool drawn = false;
    for (BView* view : fViews) {
        if (IsQuitting())
            break;
        drawn |= ViewDrawing::PaintDirty(view, surface);
    }
    if (surface != nullptr)
        SDL_SetClipRect(surface, nullptr);
    if (drawn)
        fPacer->Drawn();
    // What was drawn last is what shows, whenever that is.
    if (fPacer->TakeDue(system_time()) && surface != nullptr)
        fDisplay->Show();
    else if (fDisplay != nullptr)
        fDisplay->ShowWaiting();
}

BView* BWindow::ViewAt(BPoint where) const
{
    // The most recently added view is on top.
    for (auto it = fViews.rbegin(); it != fViews.rend(); ++it) {
        if ((*it)->fFrame.Contains(where))
            return *it;
    }
    return nullptr;
}

void BWindow::Wake()
{
    if (!fDisplayOpen || fWakePending.exchange(true))
        return;
    SDL_Event event {};
    event.type = SdlVideo::WakeEventType();
    if (!SdlVideo::PushEvent(event))
        fWakePending = false;
}
