#pragma once

// What the platform tells an X window manager about its windows beyond what
// SDL does, and what it reads from the X server. The calls go through the
// libX11 that SDL's X11 driver has loaded; on any other video driver they do
// nothing. Call them on the thread that makes the window's video calls.

#include "SupportDefs.h"

#include <SDL.h>

#include <functional>
#include <vector>

namespace X11Window {

// The function `name` of the libX11 already in the process, the one SDL's
// X11 driver uses; nullptr if there is none. This never loads libX11.
void* LoadedSymbol(const char* name);

// Asks for no title bar and no border (_MOTIF_WM_HINTS), whether or not a
// window manager has made the hint's atom yet: SDL sets it only if one has,
// so a window made before the window manager started would get a frame.
void SetNoDecorations(SDL_Window* window);

// One square image of an icon: `size` by `size` ARGB pixels, row by row.
struct IconImage {
    int32 size;
    std::vector<uint32> pixels;
};
// The window's icon for task bars and window switchers (_NET_WM_ICON), in
// every size given.
void SetIcon(SDL_Window* window, const std::vector<IconImage>& images);

// Shows `window` as SDL_ShowWindow() does, but waits for the window
// manager for at most kMapPatience, and no longer once `giveUp` says so
// (asked every few milliseconds). Whether or not the window manager maps
// the window in that time, the window is on its way: SDL learns of a later
// map from its MapNotify as usual. On other video drivers it is
// SDL_ShowWindow().
inline constexpr int kMapPatienceMillis = 1000;
void Show(SDL_Window* window, const std::function<bool()>& giveUp);

// Call right before SDL_DestroyWindow(): SDL's X11 driver hides a shown
// window first and waits for its UnmapNotify with no deadline, which never
// comes when another client has destroyed the window already. This makes
// sure one is there to be found.
void PrepareDestroy(SDL_Window* window);

// The X window behind `window`; 0 when it is no X11 window.
unsigned long Id(SDL_Window* window);

// Whether the X window `id` went away: a DestroyNotify for it in `event`,
// an SDL_SYSWMEVENT.
bool IsDestroyNotify(const SDL_Event& event, unsigned long id);

// The resolution the user set for text on `display` (Xft.dpi in the X
// server's resource database); 0 when there is none, or no X server. It
// loads libX11 and opens a connection of its own, so it may run beside
// SDL's start-up, on any thread.
int ResourceDpi(const char* display);

} // namespace X11Window
