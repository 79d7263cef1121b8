#pragma once

// What a window tells the window manager about itself, read back from the X
// server. Include after GoogleTest: Xlib's macros would break its headers.

#include <X11/Xlib.h>

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// The decorations field of the window's _MOTIF_WM_HINTS (flags, functions,
// decorations, ...) when the flags say it counts; nullopt when the window has
// no such hint or leaves the field unset.
std::optional<long> MotifDecorations(Display* display, Window window);

// The mapped top-level windows; with no window manager these are the root
// window's children.
std::vector<Window> MappedTopLevelWindows(Display* display);

// The mapped windows that name the process that made them in _NET_WM_PID,
// by that process: top-level ones, or within the frames a window manager
// put them in.
std::map<pid_t, Window> MappedWindowsByPid(Display* display);

// Asks the window to close, as a window manager's close button does: a
// WM_DELETE_WINDOW message.
void SendDeleteWindow(Display* display, Window window);

// The sizes of the images in the window's _NET_WM_ICON, in order.
std::vector<long> IconSizes(Display* display, Window window);
// The window's WM_CLASS, "name.class"; empty without one.
std::string WindowClass(Display* display, Window window);
// The window WM_TRANSIENT_FOR names; 0 without one.
Window TransientFor(Display* display, Window window);
// What the window manager says its frame adds on each side
// (_NET_FRAME_EXTENTS: left, right, top, bottom); empty if it says nothing.
std::vector<long> FrameExtents(Display* display, Window window);
