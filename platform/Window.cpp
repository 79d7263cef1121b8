#include "platform/Window.h"

#include "platform/AppInfo.h"
#include "platform/Clock.h"
#include "platform/Font.h"
#include "platform/SdlVideo.h"
#include "platform/View.h"
#include "platform/ViewDrawing.h"
#include "platform/X11Window.h"

#include <SDL.h>

#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

namespace {

// The window whose thread this is.
thread_local BWindow* tWindowOfThread = nullptr;

constexpr bigtime_t kFontIdleTime = 1000000;

// Every window of the process, for the application's way out and for
// messages addressed to "the window". A shown window's record outlives the
// window until someone joins its thread.
struct WindowRecord {
    uint64 serial;
    BWindow* window; // nullptr once the window is being deleted
    std::thread thread;
    bool shown = false;
};

std::mutex gWindowsMutex;
std::condition_variable gWindowsChanged;
std::list<WindowRecord> gWindows;
uint64 gNextSerial = 1;
// The icon as given, in each size given.
std::vector<X11Window::IconImage> gIcons;
// The sizes windows offer their icon in.
constexpr int32 kIconSizes[] = { 16, 32, 48, 64 };

std::list<WindowRecord>::iterator FindRecord(uint64 serial)
{
    for (auto it = gWindows.begin(); it != gWindows.end(); ++it) {
        if (it->serial == serial)
            return it;
    }
    return gWindows.end();
}

} // namespace

BWindow::BWindow(BRect frame, const char* title, window_type type, uint32, uint32)
    : BLooper(title),
      fFrame(frame),
      fTitle(title != nullptr ? title : ""),
      fType(type)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    fSerial = gNextSerial++;
    gWindows.push_back(WindowRecord { fSerial, this, std::thread(), false });
}

BWindow::~BWindow()
{
    for (BView* view : fViews)
        delete view;
    fViews.clear();
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(fSerial);
    if (it != gWindows.end() && !it->shown)
        gWindows.erase(it);
}

void BWindow::Show()
{
    if (fShown.exchange(true))
        return;
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(fSerial);
    it->shown = true;
    it->thread = std::thread(ThreadMain, this, fSerial);
}

thread_id BWindow::Run()
{
    if (fShown)
        return B_ERROR;
    Show();
    return NextThreadId();
}

bool BWindow::IsHidden() const
{
    return !fShown;
}

void BWindow::Quit()
{
    if (!fShown) {
        delete this;
        return;
    }
    if (IsLooperThread()) {
        SetQuitting();
        return;
    }
    // The window thread deletes the window on its way out; from here on
    // `this` may be gone.
    uint64 serial = fSerial;
    ReleaseAllLocks();
    SetQuitting();
    WaitForThread(serial);
}

void BWindow::WaitForThread(uint64 serial)
{
    std::unique_lock<std::mutex> lock(gWindowsMutex);
    auto it = FindRecord(serial);
    if (it == gWindows.end())
        return;
    if (!it->thread.joinable()) {
        // Someone else is joining it.
        gWindowsChanged.wait(lock, [serial] { return FindRecord(serial) == gWindows.end(); });
        return;
    }
    std::thread thread = std::move(it->thread);
    lock.unlock();
    thread.join();
    lock.lock();
    it = FindRecord(serial);
    if (it != gWindows.end())
        gWindows.erase(it);
    gWindowsChanged.notify_all();
}

void BWindow::QuitAll()
{
    std::vector<BWindow*> neverShown;
    std::vector<uint64> running;
    {
        std::lock_guard<std::mutex> guard(gWindowsMutex);
        for (WindowRecord& record : gWindows) {
            if (!record.shown) {
                neverShown.push_back(record.window);
                continue;
            }
            if (record.window != nullptr)
                record.window->SetQuitting();
            running.push_back(record.serial);
        }
    }
    for (BWindow* window : neverShown)
        delete window;
    for (uint64 serial : running)
        WaitForThread(serial);
}

status_t BWindow::PostToFirstWindow(BMessage* message)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    for (WindowRecord& record : gWindows) {
        if (record.window != nullptr)
            return record.window->PostMessage(message);
    }
    return B_ERROR;
}

bool BWindow::QuitRequested()
{
    return true;
}

void BWindow::MessageReceived(BMessage*)
{
}

void BWindow::AddChild(BView* view)
{
    if (view == nullptr)
        return;
    fViews.push_back(view);
    view->fWindow = this;
    view->SetLooper(this);
    view->AttachedToWindow();
    view->Invalidate();
}

void BWindow::SetPulseRate(bigtime_t rate)
{
    fPulseRate = rate > 0 ? rate : 0;
    Wake();
}

bigtime_t BWindow::PulseRate() const
{
    return fPulseRate;
}

void BWindow::MessageQueued()
{
    BLooper::MessageQueued();
    Wake();
}

void BWindow::Wake()
{
    if (!fDisplayOpen || fWakePending.exchange(true))
        return;
    SDL_Event event {};
    event.type = SdlVideo::WakeEventType();
    if (SDL_PushEvent(&event) != 1)
        fWakePending = false;
}

void BWindow::SetIcon(const uint32* pixels, int32 size)
{
    if (pixels == nullptr || size <= 0)
        return;
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    gIcons.push_back({ size, std::vector<uint32>(pixels, pixels + size * size) });
}

std::vector<X11Window::IconImage> BWindow::IconImages()
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    std::vector<X11Window::IconImage> images;
    for (int32 size : kIconSizes) {
        // The largest image given that scales to the size by a whole factor.
        const X11Window::IconImage* best = nullptr;
        for (const X11Window::IconImage& icon : gIcons) {
            if (size % icon.size == 0 && (best == nullptr || icon.size > best->size))
                best = &icon;
        }
        if (best == nullptr)
            continue;
        int32 factor = size / best->size;
        X11Window::IconImage image { size, std::vector<uint32>(size * size) };
        for (int32 y = 0; y < size; y++) {
            for (int32 x = 0; x < size; x++)
                image.pixels[y * size + x] = best->pixels[(y / factor) * best->size + x / factor];
        }
        images.push_back(std::move(image));
    }
    return images;
}

BWindow* BWindow::OfThisThread()
{
    return tWindowOfThread;
}

void BWindow::ThreadMain(BWindow* window, uint64 serial)
{
    tWindowOfThread = window;
    window->SetLooperThread(std::this_thread::get_id());
    bool open = window->OpenDisplay();
    // Without a display the window can't be seen or closed: treat it as
    // closed by the user, and let the program decide what follows.
    if (!open)
        window->PostMessage(B_QUIT_REQUESTED);
    while (!window->IsQuitting())
        window->LoopOnce();
    window->CloseDisplay();
    {
        std::lock_guard<std::mutex> guard(gWindowsMutex);
        auto it = FindRecord(serial);
        if (it != gWindows.end())
            it->window = nullptr;
    }
    tWindowOfThread = nullptr;
    delete window;
    if (open)
        SdlVideo::Release();
}

bool BWindow::OpenDisplay()
{
    std::string error;
    if (!SdlVideo::Acquire(&error)) {
        fprintf(stderr, "%s: couldn't open a window: %s\n", kAppName, error.c_str());
        return false;
    }
    SDL_Rect rect = SdlVideo::PixelRect(fFrame);
    // Hidden until the window manager has been told all about it.
    Uint32 flags = SDL_WINDOW_HIDDEN;
    if (fType == B_BORDERED_WINDOW)
        flags |= SDL_WINDOW_BORDERLESS;
    SDL_Window* window = SDL_CreateWindow(fTitle.c_str(), rect.x, rect.y, rect.w, rect.h, flags);
    if (window == nullptr) {
        fprintf(stderr, "%s: couldn't open a window: %s\n", kAppName, SDL_GetError());
        SdlVideo::Release();
        return false;
    }
    if (fType == B_BORDERED_WINDOW)
        X11Window::SetNoDecorations(window);
    SDL_ShowWindow(window);
    // The icon once the window shows: nothing waits for it.
    X11Window::SetIcon(window, IconImages());
    fDisplay = new WindowDisplay { window, SDL_GetWindowID(window), X11Window::Id(window) };
    Lock();
    for (BView* view : fViews)
        view->fDirty = view->Bounds();
    Unlock();
    fDisplayOpen = true;
    return true;
}

void BWindow::CloseDisplay()
{
    fDisplayOpen = false;
    if (fDisplay == nullptr)
        return;
    SDL_DestroyWindow(fDisplay->window);
    delete fDisplay;
    fDisplay = nullptr;
}

void BWindow::LoopOnce()
{
    bigtime_t rate = fPulseRate;
    if (rate != fScheduledRate) {
        fScheduledRate = rate;
        fNextPulse = rate > 0 ? system_time() + rate : -1;
    }

    SDL_Event event;
    bool gotEvent = false;
    if (fDisplay != nullptr) {
        int timeout = -1;
        if (fNextPulse >= 0) {
            bigtime_t left = fNextPulse - system_time();
            timeout = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
        }
        gotEvent = SDL_WaitEventTimeout(&event, timeout) == 1;
    } else {
        WaitForMessage(fNextPulse);
    }

    Lock();
    fWakePending = false;
    if (gotEvent) {
        HandleEvent(&event);
        while (!IsQuitting() && SDL_PollEvent(&event) == 1)
            HandleEvent(&event);
    }
    if (!IsQuitting())
        HandleMessages();
    if (!IsQuitting() && fNextPulse >= 0) {
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

void BWindow::HandleEvent(const void* data)
{
    const SDL_Event& event = *static_cast<const SDL_Event*>(data);
    switch (event.type) {
    case SDL_SYSWMEVENT:
        // Destroyed by another client: as good as closed.
        if (X11Window::IsDestroyNotify(event, fDisplay->x11Id))
            RequestQuit();
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.windowID == fDisplay->id) {
            float scale = static_cast<float>(SdlVideo::Scale());
            BPoint where(event.button.x / scale, event.button.y / scale);
            if (BView* view = ViewAt(where))
                view->MouseDown(BPoint(where.x - view->fFrame.left, where.y - view->fFrame.top));
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
            || (key == SDLK_F4 && (modifiers & KMOD_ALT) != 0))
            RequestQuit();
        break;
    }
    default:
        break;
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
    SDL_Surface* surface = fDisplay != nullptr ? SDL_GetWindowSurface(fDisplay->window) : nullptr;
    if (surface == nullptr)
        return;
    bool drawn = false;
    for (BView* view : fViews) {
        BRect dirty = view->fDirty;
        view->fDirty = BRect();
        if (!dirty.IsValid())
            continue;
        SDL_Rect viewPixels = SdlVideo::PixelRect(view->fFrame);
        SDL_Rect clip = SdlVideo::PixelRect(BRect(dirty.left + view->fFrame.left,
            dirty.top + view->fFrame.top, dirty.right + view->fFrame.left,
            dirty.bottom + view->fFrame.top));
        if (!SDL_IntersectRect(&clip, &viewPixels, &clip))
            continue;
        rgb_color color = view->fViewColor;
        SDL_SetClipRect(surface, &clip);
        SDL_FillRect(surface, &clip, SDL_MapRGB(surface->format, color.red, color.green, color.blue));
        if ((view->fFlags & B_WILL_DRAW) != 0) {
            view->fDrawing->Begin(surface, SDL_Point { viewPixels.x, viewPixels.y }, clip);
            view->Draw(dirty);
            view->fDrawing->End();
        }
        drawn = true;
    }
    SDL_SetClipRect(surface, nullptr);
    if (drawn)
        SDL_UpdateWindowSurface(fDisplay->window);
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
