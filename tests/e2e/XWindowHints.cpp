#include "XWindowHints.h"

#include <X11/Xatom.h>

std::optional<long> MotifDecorations(Display* display, Window window)
{
    Atom hints = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, hints, 0, 5, False, AnyPropertyType, &type, &format,
            &items, &remaining, &data) != Success || data == nullptr)
        return std::nullopt;
    std::optional<long> decorations;
    const long* fields = reinterpret_cast<const long*>(data);
    // Bit 1 of the flags says the decorations field counts.
    if (items >= 3 && (fields[0] & 2) != 0)
        decorations = fields[2];
    XFree(data);
    return decorations;
}

std::vector<Window> MappedTopLevelWindows(Display* display)
{
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> windows;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return windows;
    for (unsigned int i = 0; i < count; i++) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes)
            && attributes.map_state == IsViewable)
            windows.push_back(children[i]);
    }
    if (children != nullptr)
        XFree(children);
    return windows;
}

std::map<pid_t, Window> MappedWindowsByPid(Display* display)
{
    std::map<pid_t, Window> windows;
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    for (Window window : MappedTopLevelWindows(display)) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                &items, &after, &data) == Success
            && data != nullptr && format == 32 && items == 1)
            windows[static_cast<pid_t>(*reinterpret_cast<long*>(data))] = window;
        if (data != nullptr)
            XFree(data);
    }
    return windows;
}
