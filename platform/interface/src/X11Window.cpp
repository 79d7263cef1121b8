#include "X11Window.h"

#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <dlfcn.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

// The function `name` of the loaded libX11, with the type Xlib declares.
template <typename Function>
Function* Resolve(const char* name)
{
    return reinterpret_cast<Function*>(X11Window::LoadedSymbol(name));
}
#define X11_FUNCTION(name) Resolve<decltype(name)>(#name)

// The window's display and id; false when it is no X11 window.
bool X11Handles(SDL_Window* window, Display** display, Window* id)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (window == nullptr || !SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return false;
    *display = info.info.x11.display;
    *id = info.info.x11.window;
    return true;
}

} // namespace

void* X11Window::LoadedSymbol(const char* name)
{
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* symbol = dlsym(library, name);
    // The library stays loaded for as long as SDL holds it; dropping our
    // reference keeps the count as SDL expects it.
    dlclose(library);
    return symbol;
}

void X11Window::SetNoDecorations(SDL_Window* window)
{
    Display* display = nullptr;
    Window id = 0;
    auto internAtom = X11_FUNCTION(XInternAtom);
    auto changeProperty = X11_FUNCTION(XChangeProperty);
    if (!X11Handles(window, &display, &id) || internAtom == nullptr || changeProperty == nullptr)
        return;
    // flags (the decorations field counts), functions, decorations (none),
    // input mode, status.
    long hints[5] = { 2, 0, 0, 0, 0 };
    Atom atom = internAtom(display, "_MOTIF_WM_HINTS", False);
    changeProperty(display, id, atom, atom, 32, PropModeReplace,
        reinterpret_cast<unsigned char*>(hints), 5);
}

void X11Window::SetIcon(SDL_Window* window, const std::vector<IconImage>& images)
{
    Display* display = nullptr;
    Window id = 0;
    auto internAtom = X11_FUNCTION(XInternAtom);
    auto changeProperty = X11_FUNCTION(XChangeProperty);
    if (!X11Handles(window, &display, &id) || internAtom == nullptr || changeProperty == nullptr
        || images.empty())
        return;
    // Width, height, then the pixels, for each image; Xlib takes 32-bit
    // items as longs.
    std::vector<long> data;
    for (const IconImage& image : images) {
        data.push_back(image.size);
        data.push_back(image.size);
        data.insert(data.end(), image.pixels.begin(), image.pixels.end());
    }
    changeProperty(display, id, internAtom(display, "_NET_WM_ICON", False), XA_CARDINAL, 32,
        PropModeReplace, reinterpret_cast<unsigned char*>(data.data()),
        static_cast<int>(data.size()));
}

void X11Window::Show(SDL_Window* window, const std::function<bool()>& giveUp)
{
    // SDL's X11 driver maps the window and then waits in XIfEvent() for its
    // MapNotify, with no deadline: a window manager that is stopped, or
    // never maps the window, would hold this thread there for good. So the
    // window is mapped here and its MapNotify awaited with a deadline. Once
    // it is mapped, SDL_ShowWindow() finds it so and waits for nothing,
    // and does all else (its flags, SDL_WINDOWEVENT_SHOWN, focus without a
    // window manager, borders, place) as after its own wait. A window still
    // unmapped at the deadline is left to the window manager: SDL marks it
    // shown when its MapNotify comes, as for any window mapped from outside.
    Display* display = nullptr;
    Window id = 0;
    auto mapRaised = X11_FUNCTION(XMapRaised);
    auto flush = X11_FUNCTION(XFlush);
    auto checkEvent = X11_FUNCTION(XCheckTypedWindowEvent);
    auto connection = X11_FUNCTION(XConnectionNumber);
    if (!X11Handles(window, &display, &id) || mapRaised == nullptr || flush == nullptr
        || checkEvent == nullptr || connection == nullptr) {
        SDL_ShowWindow(window);
        return;
    }
    mapRaised(display, id);
    flush(display);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMapPatienceMillis);
    XEvent event;
    // Events other than the MapNotify stay queued for SDL.
    while (!checkEvent(display, id, MapNotify, &event)) {
        if (std::chrono::steady_clock::now() >= deadline || (giveUp && giveUp()))
            return;
        pollfd input { connection(display), POLLIN, 0 };
        poll(&input, 1, 20);
    }
    SDL_ShowWindow(window);
}

void X11Window::PrepareDestroy(SDL_Window* window)
{
    Display* display = nullptr;
    Window id = 0;
    auto putBack = X11_FUNCTION(XPutBackEvent);
    if ((SDL_GetWindowFlags(window) & SDL_WINDOW_SHOWN) == 0 || !X11Handles(window, &display, &id)
        || putBack == nullptr)
        return;
    // At the head of the queue, where SDL's wait finds it at once. Where
    // SDL doesn't wait (the window wasn't mapped), it comes out later as an
    // event of a window SDL no longer knows, and is dropped.
    XEvent event {};
    event.xunmap.type = UnmapNotify;
    event.xunmap.send_event = True;
    event.xunmap.display = display;
    event.xunmap.event = id;
    event.xunmap.window = id;
    putBack(display, &event);
}

unsigned long X11Window::Id(SDL_Window* window)
{
    Display* display = nullptr;
    Window id = 0;
    return X11Handles(window, &display, &id) ? id : 0;
}

bool X11Window::IsDestroyNotify(const SDL_Event& event, unsigned long id)
{
    if (id == 0 || event.type != SDL_SYSWMEVENT || event.syswm.msg == nullptr
        || event.syswm.msg->subsystem != SDL_SYSWM_X11)
        return false;
    const XEvent& x = event.syswm.msg->msg.x11.event;
    return x.type == DestroyNotify && x.xdestroywindow.window == id;
}

int X11Window::ResourceDpi(const char* displayName)
{
    // Loaded here, for SDL's X11 driver loads it only as it starts.
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return 0;
    auto openDisplay = reinterpret_cast<decltype(XOpenDisplay)*>(dlsym(library, "XOpenDisplay"));
    auto closeDisplay = reinterpret_cast<decltype(XCloseDisplay)*>(dlsym(library, "XCloseDisplay"));
    auto resources = reinterpret_cast<decltype(XResourceManagerString)*>(
        dlsym(library, "XResourceManagerString"));
    if (openDisplay == nullptr || closeDisplay == nullptr || resources == nullptr) {
        dlclose(library);
        return 0;
    }
    Display* display = openDisplay(displayName);
    if (display == nullptr) {
        dlclose(library);
        return 0;
    }
    int dpi = 0;
    // One "name:\tvalue" a line, as the session's settings daemon or xrdb
    // left them.
    if (const char* text = resources(display)) {
        for (const char* line = text; line != nullptr && *line != '\0';) {
            if (strncmp(line, "Xft.dpi:", 8) == 0) {
                dpi = static_cast<int>(strtod(line + 8, nullptr) + 0.5);
                break;
            }
            line = strchr(line, '\n');
            if (line != nullptr)
                line++;
        }
    }
    closeDisplay(display);
    dlclose(library);
    return dpi;
}
