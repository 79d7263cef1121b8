#include "XClient.h"

#include "TestSupport.h"
#include "XWindowHints.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>

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
    return MappedTopLevelWindows(fDisplay);
}

std::vector<Window> XClient::TopLevelWindowsBut(const std::vector<Window>& before) const
{
    std::vector<Window> windows = TopLevelWindows();
    std::erase_if(windows, [&](Window window) { return std::ranges::count(before, window) != 0; });
    return windows;
}

std::map<pid_t, Window> XClient::WindowsByPid() const
{
    return MappedWindowsByPid(fDisplay);
}

Window XClient::WindowOf(pid_t pid, std::chrono::milliseconds timeout) const
{
    Window found = 0;
    WaitUntil([&] {
        std::map<pid_t, Window> windows = WindowsByPid();
        auto it = windows.find(pid);
        found = it != windows.end() ? it->second : 0;
        return found != 0;
    }, timeout);
    return found;
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
    Window found = 0;
    WaitUntil([&] {
        for (Window window : TopLevelWindows()) {
            if (Title(window) == title)
                found = window;
        }
        return found != 0;
    }, timeout);
    return found;
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

std::vector<unsigned long> XClient::Pixels(Window window, int size) const
{
    XImage* image = XGetImage(fDisplay, window, 0, 0, size, size, AllPlanes, ZPixmap);
    if (image == nullptr)
        return {};
    std::vector<unsigned long> pixels;
    for (int y = 0; y < size; y++) {
        for (int x = 0; x < size; x++)
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
    SendDeleteWindow(fDisplay, window);
}

void XClient::Destroy(Window window) const
{
    XDestroyWindow(fDisplay, window);
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
