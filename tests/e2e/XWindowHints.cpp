#include "XWindowHints.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

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

namespace {

// The 32-bit items of the window's property `name` of type `type`.
std::vector<long> LongProperty(Display* display, Window window, const char* name, Atom type,
    long length = 1 << 20)
{
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, length, False,
            type, &actualType, &format, &items, &after, &data) == Success
        && data != nullptr && format == 32)
        values.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + items);
    if (data != nullptr)
        XFree(data);
    return values;
}

// Adds `window`, or the first window within it, that names its process.
void AddByPid(Display* display, Window window, int depth, std::map<pid_t, Window>& windows)
{
    std::vector<long> pid = LongProperty(display, window, "_NET_WM_PID", XA_CARDINAL, 1);
    if (pid.size() == 1) {
        windows[static_cast<pid_t>(pid[0])] = window;
        return;
    }
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (depth == 0 || !XQueryTree(display, window, &root, &parent, &children, &count))
        return;
    for (unsigned int i = 0; i < count; i++)
        AddByPid(display, children[i], depth - 1, windows);
    if (children != nullptr)
        XFree(children);
}

} // namespace

std::map<pid_t, Window> MappedWindowsByPid(Display* display)
{
    std::map<pid_t, Window> windows;
    for (Window window : MappedTopLevelWindows(display))
        AddByPid(display, window, 3, windows);
    return windows;
}

void SendDeleteWindow(Display* display, Window window)
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
}

std::vector<long> IconSizes(Display* display, Window window)
{
    std::vector<long> icon = LongProperty(display, window, "_NET_WM_ICON", XA_CARDINAL);
    std::vector<long> sizes;
    for (size_t at = 0; at + 2 <= icon.size(); at += 2 + icon[at] * icon[at + 1])
        sizes.push_back(icon[at]);
    return sizes;
}

std::string WindowClass(Display* display, Window window)
{
    XClassHint hint {};
    std::string name;
    if (XGetClassHint(display, window, &hint)) {
        name = std::string(hint.res_name != nullptr ? hint.res_name : "") + "."
            + (hint.res_class != nullptr ? hint.res_class : "");
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return name;
}

Window TransientFor(Display* display, Window window)
{
    Window owner = 0;
    return XGetTransientForHint(display, window, &owner) ? owner : 0;
}

std::vector<long> FrameExtents(Display* display, Window window)
{
    return LongProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL, 4);
}
