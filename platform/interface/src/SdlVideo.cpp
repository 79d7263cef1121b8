#include "SdlVideo.h"

#include "DisplayConnection.h"
#include "Font.h"
#include "LostDisplay.h"
#include "MotionSetting.h"
#include "SdlLock.h"
#include "WaylandDisplay.h"
#include "WaylandWindow.h"
#include "X11Errors.h"
#include "X11Window.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>

namespace {

int gUsers = 0;
// Video opened by MainDisplayFrame() and left open for the window that
// usually follows: opening it a second time costs X11 well over 100 ms.
bool gHeldForNextUser = false;
bool gFrameKnown = false;
BRect gDisplayFrame;
std::atomic<uint32_t> gWakeEventType { 0 };
std::atomic<int> gScale { 1 };
// The Wayland display in use, as the user named it; empty on X11.
std::string gWaylandDisplay;
// Whether windows are on it, for any thread to ask.
std::atomic<bool> gOnWayland { false };

constexpr int kMaxScale = 8;
// How long a Wayland compositor may take to describe itself.
constexpr int kWaylandAnswerMillis = 2000;

// A whole factor of 1 to kMaxScale written in `value`, or 0.
int ScaleIn(const char* value)
{
    if (value == nullptr || value[0] == '\0')
        return 0;
    char* end = nullptr;
    long factor = strtol(value, &end, 10);
    return *end == '\0' && factor >= 1 && factor <= kMaxScale ? static_cast<int>(factor) : 0;
}

// `frame` (units) at `scale` to a unit: the corner the nearest whole
// coordinate, the size the frame's, both edges rounded and included.
SDL_Rect ScaledRect(BRect frame, int scale)
{
    auto scaled = [scale](float coordinate) {
        return static_cast<int>(std::floor(coordinate * scale + 0.5f));
    };
    auto unit = [](float coordinate) { return static_cast<int>(std::floor(coordinate + 0.5f)); };
    SDL_Rect rect;
    rect.x = scaled(frame.left);
    rect.y = scaled(frame.top);
    rect.w = (unit(frame.right) - unit(frame.left) + 1) * scale;
    rect.h = (unit(frame.bottom) - unit(frame.top) + 1) * scale;
    return rect;
}

Result<> CheckForApplication()
{
    SdlVideo::PrepareEnvironment();
    return SdlVideo::CheckDisplay();
}

// This process makes windows, so its application opens the display as it
// starts.
[[maybe_unused]] const bool gConnectionProvided
    = (ProvideDisplayConnection({ CheckForApplication, SdlVideo::Open }), true);

} // namespace

void SdlVideo::SetHints()
{
    // Draw on the window surface in memory: a GL framebuffer would cost
    // each instance tens of megabytes.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // The application turns signals into quit requests itself.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The first click on a window that isn't focused counts as a click.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    // A desktop toy has no business keeping the screen awake.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // Closing the window is the application's decision, not SDL's.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
}

Result<> SdlVideo::Acquire()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    if (gHeldForNextUser) {
        gHeldForNextUser = false;
        return {};
    }
    if (gUsers == 0) {
        if (Result<> started = Initialise(); !started)
            return started;
    }
    gUsers++;
    return {};
}

Result<> SdlVideo::AcquireUnshared()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    if (gHeldForNextUser) {
        gHeldForNextUser = false;
        return {};
    }
    if (gUsers > 0)
        return Error { B_NOT_ALLOWED, "the display is in use by another thread" };
    if (Result<> started = Initialise(); !started)
        return started;
    gUsers++;
    return {};
}

void SdlVideo::Release()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    if (gUsers == 0 || --gUsers > 0)
        return;
    if (IsWayland()) {
        gOnWayland = false;
        WaylandDisplay::Close();
        gWaylandDisplay.clear();
    } else {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }
}

bool SdlVideo::IsRealDriver()
{
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver != nullptr && (strcmp(driver, "x11") == 0 || strcmp(driver, "wayland") == 0);
}

void SdlVideo::PrepareEnvironment()
{
    // Outside a desktop session there is no session bus, and the display
    // libraries would start one of their own (dbus-launch and a daemon,
    // which outlive the instance): an address no bus answers at stops them.
    const char* bus = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus == nullptr || bus[0] == '\0')
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    // Nothing is ever typed into the program, so Xlib's input method needn't
    // read the locale's table of compose sequences, thousands of lines that
    // took most of the display's start-up time and half a megabyte of heap.
    // Only where X11 is what will be used: xkbcommon, the keyboard of SDL's
    // Wayland driver, reads the same variable and can't read /dev/null.
    const char* driver = getenv("SDL_VIDEODRIVER");
    const char* display = getenv("DISPLAY");
    bool x11 = driver != nullptr && driver[0] != '\0'
        ? strncmp(driver, "x11", 3) == 0
        : display != nullptr && display[0] != '\0';
    if (x11)
        setenv("XCOMPOSEFILE", "/dev/null", 1);
    // The Wayland library would take this descriptor for its connection,
    // whatever it is; the compositor is the one WAYLAND_DISPLAY names.
    unsetenv("WAYLAND_SOCKET");
}

Result<> SdlVideo::CheckDisplay()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    return ChooseDriver();
}

Result<> SdlVideo::Open()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    if (gUsers > 0)
        return {};
    if (Result<> started = Initialise(); !started)
        return started;
    // Open now, and kept for the window that follows.
    gUsers++;
    gHeldForNextUser = true;
    return {};
}

BRect SdlVideo::MainDisplayFrame()
{
    std::lock_guard<std::mutex> guard(SdlLock());
    if (!gFrameKnown && gUsers == 0 && Initialise()) {
        // Nobody holds video yet: open it, and keep it for the next user.
        gUsers++;
        gHeldForNextUser = true;
    }
    return gDisplayFrame;
}

int SdlVideo::Scale()
{
    return gScale;
}

bool SdlVideo::IsWayland()
{
    return gOnWayland;
}

int SdlVideo::WindowScale()
{
    return IsWayland() ? 1 : gScale.load();
}

Result<> SdlVideo::Initialise()
{
    SetHints();
    // Only drivers that show a window to someone: X11 first (a window can
    // place itself only there), then Wayland. Without either display, SDL
    // would draw into memory, and the sound would play with no window.
    if (Result<> chosen = ChooseDriver(); !chosen)
        return chosen;
    const char* drivers = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    if (drivers != nullptr && strncmp(drivers, "wayland", 7) == 0)
        return OpenWayland();
    // Where libX11 is loaded already, before SDL's X11 driver starts: the
    // driver keeps the handler it finds and puts it back when video stops,
    // which is when the last lost wake-ups come in.
    bool tolerant = X11Errors::TolerateLostWakeUps();
    // The text resolution comes over a connection of its own, read while
    // SDL starts.
    std::future<int> dpi;
    if (ScaleIn(getenv("GW_SCALE")) == 0 && ScaleIn(getenv("GDK_SCALE")) == 0 && drivers != nullptr
        && strncmp(drivers, "x11", 3) == 0)
        dpi = std::async(std::launch::async, X11Window::ResourceDpi, getenv("DISPLAY"));
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
        return Error { B_ERROR, SDL_GetError() };
    if (!IsRealDriver()) {
        Error error { B_NOT_ALLOWED, std::string("the video driver \"") + SDL_GetCurrentVideoDriver() + "\" shows no window to anyone" };
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return error;
    }
    // X11 failed and SDL went on to Wayland: windows there are ours.
    if (strcmp(SDL_GetCurrentVideoDriver(), "wayland") == 0) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return OpenWayland();
    }
    if (gWakeEventType == 0)
        gWakeEventType = SDL_RegisterEvents(1);
    // Windows learn this way that another client destroyed them.
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
    if (!tolerant)
        X11Errors::TolerateLostWakeUps();
    X11Errors::EndOnLostDisplay();
    ChooseScale(dpi.valid() ? dpi.get() : 0);
    RememberDisplayFrame();
    return {};
}

Result<> SdlVideo::OpenWayland()
{
    const char* name = getenv("WAYLAND_DISPLAY");
    if (Result<> opened = WaylandDisplay::Open(name, kWaylandAnswerMillis); !opened)
        return opened;
    gWaylandDisplay = name != nullptr && name[0] != '\0' ? name : "wayland-0";
    gOnWayland = true;
    if (gWakeEventType == 0)
        gWakeEventType = SDL_RegisterEvents(1);
    ChooseScale(WaylandDisplay::OutputDpi());
    RememberDisplayFrame();
    return {};
}

void SdlVideo::ChooseScale(int dpi)
{
    int scale = ScaleIn(getenv("GW_SCALE"));
    if (scale == 0)
        scale = ScaleIn(getenv("GDK_SCALE"));
    // 96 dots per inch is a factor of 1, 192 of 2; halves round up.
    if (scale == 0 && dpi > 0)
        scale = std::clamp((dpi + 48) / 96, 1, kMaxScale);
    gScale = std::max(scale, 1);
    Font::SetScale(gScale);
}

Result<> SdlVideo::ChooseDriver()
{
    const char* chosen = getenv("SDL_VIDEODRIVER");
    if (chosen != nullptr && chosen[0] != '\0')
        return {};
    std::string drivers;
    const char* display = getenv("DISPLAY");
    if (display != nullptr && display[0] != '\0')
        drivers = "x11";
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && wayland[0] != '\0')
        drivers += drivers.empty() ? "wayland" : ",wayland";
    if (drivers.empty())
        return Error { B_ENTRY_NOT_FOUND,
            "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)" };
    SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
    return {};
}

void SdlVideo::RememberDisplayFrame()
{
    SDL_Rect bounds;
    if (gFrameKnown)
        return;
    if (IsWayland() ? !WaylandDisplay::OutputFrame(&bounds) : SDL_GetDisplayBounds(0, &bounds) != 0)
        return;
    // In units: the window coordinates divided by the scale.
    float scale = static_cast<float>(WindowScale());
    gDisplayFrame = BRect(bounds.x / scale, bounds.y / scale, (bounds.x + bounds.w) / scale - 1,
        (bounds.y + bounds.h) / scale - 1);
    gFrameKnown = true;
}

uint32_t SdlVideo::WakeEventType()
{
    return gWakeEventType;
}

bool SdlVideo::WaitEvent(SDL_Event* event, int timeoutMillis)
{
    if (IsWayland())
        return WaylandDisplay::WaitEvent(event, timeoutMillis);
    return SDL_WaitEventTimeout(event, timeoutMillis) == 1;
}

bool SdlVideo::PollEvent(SDL_Event* event)
{
    if (IsWayland())
        return WaylandDisplay::PollEvent(event);
    return SDL_PollEvent(event) == 1;
}

bool SdlVideo::PushEvent(SDL_Event& event)
{
    if (IsWayland()) {
        WaylandDisplay::PushEvent(event);
        return true;
    }
    return SDL_PushEvent(&event) == 1;
}

void SdlVideo::EndIfLost(const SDL_Event& event)
{
    if (event.type == SDL_QUIT && !gWaylandDisplay.empty())
        LostDisplay::End("Wayland display " + gWaylandDisplay);
}

SDL_Rect SdlVideo::PixelRect(BRect frame)
{
    return ScaledRect(frame, gScale);
}

SDL_Rect SdlVideo::WindowRect(BRect frame)
{
    return ScaledRect(frame, WindowScale());
}

WindowDisplay::WindowDisplay(SDL_Window* window, std::unique_ptr<MotionSetting> motion)
    : window(window), id(SDL_GetWindowID(window)), x11Id(X11Window::Id(window)), motion(std::move(motion))
{
}

WindowDisplay::WindowDisplay(
    std::unique_ptr<WaylandWindow> wayland, std::unique_ptr<MotionSetting> motion)
    : window(nullptr), id(wayland->Id()), x11Id(0), wayland(std::move(wayland)), motion(std::move(motion))
{
}

WindowDisplay::~WindowDisplay() = default;

SDL_Surface* WindowDisplay::Picture() const
{
    return wayland != nullptr ? wayland->Picture() : SDL_GetWindowSurface(window);
}

void WindowDisplay::ShowWaiting()
{
    if (wayland != nullptr)
        wayland->ShowWaiting();
}

void WindowDisplay::Show()
{
    if (wayland != nullptr)
        wayland->Show();
    else
        SDL_UpdateWindowSurface(window);
}
