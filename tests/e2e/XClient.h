#pragma once

// A test's own connection to an X server, to look at windows as a user
// would and to click and type at them (XTest). X errors about windows that
// have just gone are ignored: a call on one fails in its result instead.

#include "XHandles.h"

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class XClient {
public:
    // Connects to `display`; Get() is null if that fails or `display` is
    // empty.
    explicit XClient(const std::string& display);
    ~XClient();

    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    Display* Get() const { return fDisplay; }
    // Closes the connection early, as before taking the server away.
    void Close();

    // The mapped top-level windows; with no window manager these are the
    // root window's children, with one the frames it put around them.
    std::vector<Window> TopLevelWindows() const;
    // Those not in `before`: the windows that came up since.
    std::vector<Window> TopLevelWindowsBut(const std::vector<Window>& before) const;
    // The mapped windows that name their process in _NET_WM_PID, by
    // process: top-level ones, or within the frames a window manager put
    // them in.
    std::map<pid_t, Window> WindowsByPid() const;
    // The mapped window of `pid`, waiting up to `timeout`; 0 if none.
    Window WindowOf(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    std::string Title(Window window) const;
    // Whether the window, and every window around it, is mapped.
    bool IsShown(Window window) const;
    // The mapped top-level window titled `title`, waiting up to `timeout`.
    Window FindWindow(const std::string& title,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // The window on the screen: left, top, width, height.
    std::array<int, 4> Frame(Window window) const;
    std::array<int, 2> Middle(Window window) const;
    // The colours of the window's top-left `size` by `size` pixels, as
    // text; empty if they can't be read.
    std::string Picture(Window window, int size = 21) const;
    // How many of those pixels have each colour (0xRRGGBB).
    std::map<unsigned long, int> Colours(Window window, int size = 21) const;
    // The pixels (0xRRGGBB) of the window's top-left `width` by `height`,
    // row by row; empty if they can't be read.
    std::vector<unsigned long> Pixels(Window window, int width, int height) const;

    // Makes the atom SDL looks for before it sets a window's decoration
    // hints. It exists wherever a window manager runs; a bare server keeps
    // it for as long as it runs.
    void CreateDecorationHintsAtom() const;

    void MovePointer(std::array<int, 2> where) const;
    void Click(std::array<int, 2> where) const;
    // Asks the window to close, as a window manager's close button does
    // (WM_DELETE_WINDOW).
    void Close(Window window) const;
    // Destroys the window from outside, as xdotool windowclose does.
    void Destroy(Window window) const;
    // Gives the window the keyboard, as a window manager does when the user
    // picks the window.
    void Focus(Window window) const;
    // Presses `key`, with `modifier` held down unless it is 0 (NoSymbol).
    // With no window manager, the keyboard follows the pointer.
    void PressKey(KeySym key, KeySym modifier = 0) const;

    // What a window tells the window manager about itself. The decorations
    // field of its _MOTIF_WM_HINTS (flags, functions, decorations, ...)
    // when the flags say it counts; nullopt when it has no such hint or
    // leaves the field unset.
    std::optional<long> Decorations(Window window) const;
    // The sizes of the images in its _NET_WM_ICON, in order.
    std::vector<long> IconSizes(Window window) const;
    // Its WM_CLASS, "name.class"; empty without one.
    std::string Class(Window window) const;
    // The window WM_TRANSIENT_FOR names; 0 without one.
    Window TransientFor(Window window) const;
    // What the window manager says its frame adds on each side
    // (_NET_FRAME_EXTENTS: left, right, top, bottom); empty if it says
    // nothing.
    std::vector<long> FrameExtents(Window window) const;

private:
    // What `find` finds, asking again until it finds a window or `timeout`
    // passes; 0 if it finds none.
    Window WaitForWindow(const std::function<Window()>& find,
        std::chrono::milliseconds timeout) const;
    // The pixels of the window's top-left `size` by `size` square.
    std::vector<unsigned long> Pixels(Window window, int size) const { return Pixels(window, size, size); }

    Display* fDisplay = nullptr;
};
