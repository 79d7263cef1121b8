#pragma once

// What a window tells the window manager about itself, read back from the X
// server. Include after GoogleTest: Xlib's macros would break its headers.

#include <X11/Xlib.h>

#include <optional>

// The decorations field of the window's _MOTIF_WM_HINTS (flags, functions,
// decorations, ...) when the flags say it counts; nullopt when the window has
// no such hint or leaves the field unset.
std::optional<long> MotifDecorations(Display* display, Window window);
