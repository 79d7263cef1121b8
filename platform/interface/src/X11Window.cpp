#include "X11Window.h"

#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <dlfcn.h>

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
