#pragma once

// What a window tells the window manager about itself, read back from the X
// server. Include after GoogleTest: Xlib's macros would break its headers.

#include <X11/Xlib.h>

#include <sys/types.h>

#include <map>
#include <optional>
#include <vector>

// The decorations field of the window's _MOTIF_WM_HINTS (flags, functions,
// decorations, ...) when the flags say it counts; nullopt when the window has
// no such hint or leaves the field unset.
std::optional<long> MotifDecorations(Display* display, Window window);

// The mapped top-level windows; with no window manager these are the root
// window's children.
std::vector<Window> MappedTopLevelWindows(Display* display);

// The mapped top-level windows that name the process that made them in
// _NET_WM_PID, by that process.
std::map<pid_t, Window> MappedWindowsByPid(Display* display);
