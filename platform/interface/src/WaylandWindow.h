#pragma once

// WaylandWindow: a window on the Wayland compositor of WaylandDisplay, of a
// size that never changes, with no frame, its picture kept in memory and
// shown through buffers the compositor shares with us (wl_shm). Views draw
// into Picture() as they do into an X11 window's surface; Show() copies it
// into a buffer the compositor isn't reading and attaches that. Its input
// comes as SDL events for Id(). Use it on the window's thread.

#include "Result.h"

#include <SDL.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct wl_buffer;
struct wl_shm_pool;
struct wl_surface;
struct xdg_surface;
struct xdg_toplevel;
struct zxdg_toplevel_decoration_v1;

class WaylandWindow {
public:
    // A window `width` by `height` logical units, drawn at `scale` pixels
    // to the unit, above `parent` if there is one. It shows once the
    // compositor has configured it and a picture is shown.
    static Result<std::unique_ptr<WaylandWindow>> Create(const std::string& title,
        const std::string& appId, int width, int height, int scale, const WaylandWindow* parent);
    ~WaylandWindow();

    WaylandWindow(const WaylandWindow&) = delete;
    WaylandWindow& operator=(const WaylandWindow&) = delete;

    uint32_t Id() const { return fId; }
    SDL_Surface* Picture() const { return fPicture; }
    // Shows the picture. Until the compositor has configured the window,
    // or while it reads every buffer, the picture waits, and the event
    // queue is woken when it can be shown: ShowWaiting() shows it then.
    void Show();
    void ShowWaiting();

    // The compositor's events, on the display's reader thread.
    static void Configured(void* data, xdg_surface* surface, uint32_t serial);
    static void Released(void* data, wl_buffer* buffer);
    static void CloseRequested(void* data, xdg_toplevel* toplevel);

private:
    struct Buffer {
        WaylandWindow* owner = nullptr;
        wl_buffer* buffer = nullptr;
        unsigned char* pixels = nullptr;
        // Attached, and not yet given back by the compositor.
        std::atomic<bool> busy { false };
    };

    WaylandWindow() = default;
    Result<> MakeBuffers(int width, int height);
    // From the reader thread: wakes the window's loop if a picture waits.
    void WakeIfWaiting();

    uint32_t fId = 0;
    int fScale = 1;
    wl_surface* fSurface = nullptr;
    xdg_surface* fShellSurface = nullptr;
    xdg_toplevel* fToplevel = nullptr;
    zxdg_toplevel_decoration_v1* fDecoration = nullptr;
    wl_shm_pool* fPool = nullptr;
    void* fMemory = nullptr;
    size_t fMemorySize = 0;
    SDL_Surface* fPicture = nullptr;
    std::atomic<bool> fConfigured { false };
    std::atomic<bool> fWaiting { false };
    // Two, so that one is drawn while the compositor reads the other.
    std::array<Buffer, 2> fBuffers;
};
