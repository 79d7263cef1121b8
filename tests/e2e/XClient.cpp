#include "XClient.h"

#include "TestSupport.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>

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
            type, &actualType, &format, &items, &after, &data)
            == Success
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

XClient::XClient(const std::string& display)
{
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    if (!display.empty())
        fDisplay = XOpenDisplay(display.c_str());
}

XClient::~XClient()
{
    Close();
}

void XClient::Close()
{
    if (fDisplay != nullptr)
        XCloseDisplay(fDisplay);
    fDisplay = nullptr;
}

std::vector<Window> XClient::TopLevelWindows() const
{
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> windows;
    if (!XQueryTree(fDisplay, DefaultRootWindow(fDisplay), &root, &parent, &children, &count))
        return windows;
    for (unsigned int i = 0; i < count; i++) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(fDisplay, children[i], &attributes)
            && attributes.map_state == IsViewable)
            windows.push_back(children[i]);
    }
    if (children != nullptr)
        XFree(children);
    return windows;
}

std::vector<Window> XClient::TopLevelWindowsBut(const std::vector<Window>& before) const
{
    std::vector<Window> windows = TopLevelWindows();
    std::erase_if(windows, [&](Window window) { return std::ranges::count(before, window) != 0; });
    return windows;
}

std::map<pid_t, Window> XClient::WindowsByPid() const
{
    std::map<pid_t, Window> windows;
    for (Window window : TopLevelWindows())
        AddByPid(fDisplay, window, 3, windows);
    return windows;
}

Window XClient::WaitForWindow(const std::function<Window()>& find,
    std::chrono::milliseconds timeout) const
{
    Window found = 0;
    WaitUntil([&] { return (found = find()) != 0; }, timeout);
    return found;
}

Window XClient::WindowOf(pid_t pid, std::chrono::milliseconds timeout) const
{
    auto windowOf = [&]() -> Window {
        std::map<pid_t, Window> windows = WindowsByPid();
        auto it = windows.find(pid);
        return it != windows.end() ? it->second : 0;
    };
    return WaitForWindow(windowOf, timeout);
}

std::string XClient::Title(Window window) const
{
    char* name = nullptr;
    std::string title;
    if (XFetchName(fDisplay, window, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

bool XClient::IsShown(Window window) const
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(fDisplay, window, &attributes) && attributes.map_state == IsViewable;
}

Window XClient::FindWindow(const std::string& title, std::chrono::milliseconds timeout) const
{
    auto titled = [&] {
        Window found = 0;
        for (Window window : TopLevelWindows()) {
            if (Title(window) == title)
                found = window;
        }
        return found;
    };
    return WaitForWindow(titled, timeout);
}

std::array<int, 4> XClient::Frame(Window window) const
{
    Window root = 0, child = 0;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(fDisplay, window, &root, &x, &y, &width, &height, &border, &depth);
    XTranslateCoordinates(fDisplay, window, root, 0, 0, &x, &y, &child);
    return { x, y, static_cast<int>(width), static_cast<int>(height) };
}

std::array<int, 2> XClient::Middle(Window window) const
{
    std::array<int, 4> frame = Frame(window);
    return { frame[0] + frame[2] / 2, frame[1] + frame[3] / 2 };
}

std::vector<unsigned long> XClient::Pixels(Window window, int width, int height) const
{
    XImage* image = XGetImage(fDisplay, window, 0, 0, width, height, AllPlanes, ZPixmap);
    if (image == nullptr)
        return {};
    std::vector<unsigned long> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++)
            pixels.push_back(XGetPixel(image, x, y) & 0xffffff);
    }
    XDestroyImage(image);
    return pixels;
}

std::string XClient::Picture(Window window, int size) const
{
    std::string picture;
    for (unsigned long pixel : Pixels(window, size))
        picture += std::to_string(pixel) + " ";
    return picture;
}

std::map<unsigned long, int> XClient::Colours(Window window, int size) const
{
    std::map<unsigned long, int> counts;
    for (unsigned long pixel : Pixels(window, size))
        counts[pixel]++;
    return counts;
}

void XClient::CreateDecorationHintsAtom() const
{
    XInternAtom(fDisplay, "_MOTIF_WM_HINTS", False);
    XSync(fDisplay, False);
}

void XClient::MovePointer(std::array<int, 2> where) const
{
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), where[0], where[1], CurrentTime);
    XSync(fDisplay, False);
}

void XClient::Click(std::array<int, 2> where) const
{
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), where[0], where[1], CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, True, CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, False, CurrentTime);
    XSync(fDisplay, False);
}

void XClient::Close(Window window) const
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(fDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(fDisplay, "WM_DELETE_WINDOW", False));
    XSendEvent(fDisplay, window, False, NoEventMask, &event);
    XSync(fDisplay, False);
}

void XClient::Destroy(Window window) const
{
    XDestroyWindow(fDisplay, window);
    XSync(fDisplay, False);
}

void XClient::Focus(Window window) const
{
    XSetInputFocus(fDisplay, window, RevertToPointerRoot, CurrentTime);
    XSync(fDisplay, False);
}

void XClient::PressKey(KeySym key, KeySym modifier) const
{
    KeyCode code = XKeysymToKeycode(fDisplay, key);
    KeyCode held = modifier != NoSymbol ? XKeysymToKeycode(fDisplay, modifier) : 0;
    if (held != 0)
        XTestFakeKeyEvent(fDisplay, held, True, CurrentTime);
    XTestFakeKeyEvent(fDisplay, code, True, CurrentTime);
    XTestFakeKeyEvent(fDisplay, code, False, CurrentTime);
    if (held != 0)
        XTestFakeKeyEvent(fDisplay, held, False, CurrentTime);
    XSync(fDisplay, False);
}

std::optional<long> XClient::Decorations(Window window) const
{
    Atom hints = XInternAtom(fDisplay, "_MOTIF_WM_HINTS", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(fDisplay, window, hints, 0, 5, False, AnyPropertyType, &type, &format,
            &items, &remaining, &data)
            != Success
        || data == nullptr)
        return std::nullopt;
    std::optional<long> decorations;
    const long* fields = reinterpret_cast<const long*>(data);
    // Bit 1 of the flags says the decorations field counts.
    if (items >= 3 && (fields[0] & 2) != 0)
        decorations = fields[2];
    XFree(data);
    return decorations;
}

std::vector<long> XClient::IconSizes(Window window) const
{
    std::vector<long> icon = LongProperty(fDisplay, window, "_NET_WM_ICON", XA_CARDINAL);
    std::vector<long> sizes;
    for (size_t at = 0; at + 2 <= icon.size(); at += 2 + icon[at] * icon[at + 1])
        sizes.push_back(icon[at]);
    return sizes;
}

std::string XClient::Class(Window window) const
{
    XClassHint hint {};
    std::string name;
    if (XGetClassHint(fDisplay, window, &hint)) {
        name = std::string(hint.res_name != nullptr ? hint.res_name : "") + "."
            + (hint.res_class != nullptr ? hint.res_class : "");
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return name;
}

Window XClient::TransientFor(Window window) const
{
    Window owner = 0;
    return XGetTransientForHint(fDisplay, window, &owner) ? owner : 0;
}

std::vector<long> XClient::FrameExtents(Window window) const
{
    return LongProperty(fDisplay, window, "_NET_FRAME_EXTENTS", XA_CARDINAL, 4);
}
