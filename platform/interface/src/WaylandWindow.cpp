#include "WaylandWindow.h"

#include "SdlVideo.h"
#include "WaylandDisplay.h"

#include "xdg-decoration-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

namespace {

const xdg_surface_listener kShellSurfaceListener = { [](void* data, xdg_surface* surface,
                                                         uint32_t serial) {
    WaylandWindow::Configured(data, surface, serial);
} };

const xdg_toplevel_listener kToplevelListener = {
    // Its size is its own: what the compositor suggests is let be.
    [](void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {},
    [](void* data, xdg_toplevel* toplevel) { WaylandWindow::CloseRequested(data, toplevel); },
    [](void*, xdg_toplevel*, int32_t, int32_t) {},
    [](void*, xdg_toplevel*, wl_array*) {},
};

const wl_buffer_listener kBufferListener
    = { [](void* data, wl_buffer* buffer) { WaylandWindow::Released(data, buffer); } };

} // namespace

Result<std::unique_ptr<WaylandWindow>> WaylandWindow::Create(const std::string& title,
    const std::string& appId, int width, int height, int scale, const WaylandWindow* parent)
{
    std::unique_ptr<WaylandWindow> window(new WaylandWindow);
    window->fScale = scale;
    // Nothing of the window's is dispatched before its listeners are set.
    std::lock_guard<std::mutex> guard(WaylandDisplay::DispatchLock());
    if (Result<> made = window->MakeBuffers(width * scale, height * scale); !made)
        return made.error();
    window->fSurface = wl_compositor_create_surface(WaylandDisplay::Compositor());
    window->fId = WaylandDisplay::Track(window->fSurface);
    window->fShellSurface = xdg_wm_base_get_xdg_surface(WaylandDisplay::Shell(), window->fSurface);
    xdg_surface_add_listener(window->fShellSurface, &kShellSurfaceListener, window.get());
    window->fToplevel = xdg_surface_get_toplevel(window->fShellSurface);
    xdg_toplevel_add_listener(window->fToplevel, &kToplevelListener, window.get());
    xdg_toplevel_set_title(window->fToplevel, title.c_str());
    xdg_toplevel_set_app_id(window->fToplevel, appId.c_str());
    // Its size can't change: tiling compositors let such a window float.
    xdg_toplevel_set_min_size(window->fToplevel, width, height);
    xdg_toplevel_set_max_size(window->fToplevel, width, height);
    if (parent != nullptr)
        xdg_toplevel_set_parent(window->fToplevel, parent->fToplevel);
    // No frame of the compositor's, where it would draw one.
    if (zxdg_decoration_manager_v1* decorations = WaylandDisplay::Decorations()) {
        window->fDecoration
            = zxdg_decoration_manager_v1_get_toplevel_decoration(decorations, window->fToplevel);
        zxdg_toplevel_decoration_v1_set_mode(
            window->fDecoration, ZXDG_TOPLEVEL_DECORATION_V1_MODE_CLIENT_SIDE);
    }
    // A first commit without a picture asks the compositor to configure it.
    wl_surface_commit(window->fSurface);
    wl_display_flush(WaylandDisplay::Display());
    return window;
}

WaylandWindow::~WaylandWindow()
{
    {
        std::lock_guard<std::mutex> guard(WaylandDisplay::DispatchLock());
        if (fDecoration != nullptr)
            zxdg_toplevel_decoration_v1_destroy(fDecoration);
        if (fToplevel != nullptr)
            xdg_toplevel_destroy(fToplevel);
        if (fShellSurface != nullptr)
            xdg_surface_destroy(fShellSurface);
        if (fSurface != nullptr)
            wl_surface_destroy(fSurface);
        for (Buffer& buffer : fBuffers) {
            if (buffer.buffer != nullptr)
                wl_buffer_destroy(buffer.buffer);
        }
        if (fPool != nullptr)
            wl_shm_pool_destroy(fPool);
    }
    wl_display_flush(WaylandDisplay::Display());
    if (fMemory != nullptr)
        munmap(fMemory, fMemorySize);
    SDL_FreeSurface(fPicture);
}

Result<> WaylandWindow::MakeBuffers(int width, int height)
{
    int stride = width * 4;
    size_t size = static_cast<size_t>(stride) * height;
    fMemorySize = size * fBuffers.size();
    int fd = memfd_create("gondavel_wubbix-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(fMemorySize)) != 0) {
        Error error = Error::FromErrno(errno, "no memory to share with the compositor: ");
        if (fd >= 0)
            close(fd);
        return error;
    }
    void* memory = mmap(nullptr, fMemorySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        Error error = Error::FromErrno(errno, "no memory to share with the compositor: ");
        close(fd);
        return error;
    }
    fMemory = memory;
    fPool = wl_shm_create_pool(WaylandDisplay::Shm(), fd, static_cast<int32_t>(fMemorySize));
    // The compositor has a descriptor of its own now.
    close(fd);
    for (size_t n = 0; n < fBuffers.size(); n++) {
        Buffer& buffer = fBuffers[n];
        buffer.owner = this;
        buffer.pixels = static_cast<unsigned char*>(fMemory) + n * size;
        buffer.buffer = wl_shm_pool_create_buffer(fPool, static_cast<int32_t>(n * size), width,
            height, stride, WL_SHM_FORMAT_XRGB8888);
        wl_buffer_add_listener(buffer.buffer, &kBufferListener, &buffer);
    }
    // The buffers' layout: 32 bits a pixel, the top byte unused.
    fPicture = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_RGB888);
    if (fPicture == nullptr)
        return Error { B_ERROR, SDL_GetError() };
    return {};
}

void WaylandWindow::Show()
{
    // Waiting first: a buffer given back or a configure from now on wakes
    // the loop, through WakeIfWaiting().
    fWaiting = true;
    Buffer* free = nullptr;
    for (Buffer& buffer : fBuffers) {
        if (!buffer.busy) {
            free = &buffer;
            break;
        }
    }
    if (!fConfigured || free == nullptr)
        return;
    fWaiting = false;
    size_t row = static_cast<size_t>(fPicture->w) * 4;
    const auto* picture = static_cast<const unsigned char*>(fPicture->pixels);
    for (int y = 0; y < fPicture->h; y++)
        memcpy(free->pixels + y * row, picture + static_cast<size_t>(y) * fPicture->pitch, row);
    free->busy = true;
    wl_surface_set_buffer_scale(fSurface, fScale);
    wl_surface_attach(fSurface, free->buffer, 0, 0);
    wl_surface_damage(fSurface, 0, 0, INT32_MAX, INT32_MAX);
    wl_surface_commit(fSurface);
    wl_display_flush(WaylandDisplay::Display());
}

void WaylandWindow::ShowWaiting()
{
    if (fWaiting)
        Show();
}

void WaylandWindow::WakeIfWaiting()
{
    if (!fWaiting)
        return;
    SDL_Event event {};
    event.type = SdlVideo::WakeEventType();
    WaylandDisplay::PushEvent(event);
}

void WaylandWindow::Configured(void* data, xdg_surface* surface, uint32_t serial)
{
    auto* window = static_cast<WaylandWindow*>(data);
    xdg_surface_ack_configure(surface, serial);
    window->fConfigured = true;
    window->WakeIfWaiting();
}

void WaylandWindow::Released(void* data, wl_buffer*)
{
    Buffer& buffer = *static_cast<Buffer*>(data);
    buffer.busy = false;
    buffer.owner->WakeIfWaiting();
}

void WaylandWindow::CloseRequested(void* data, xdg_toplevel*)
{
    SDL_Event event {};
    event.type = SDL_WINDOWEVENT;
    event.window.windowID = static_cast<WaylandWindow*>(data)->fId;
    event.window.event = SDL_WINDOWEVENT_CLOSE;
    WaylandDisplay::PushEvent(event);
}
