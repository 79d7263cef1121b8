#include "WaylandDisplay.h"

#include "xdg-decoration-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Pixels per unit, as Xft.dpi counts them.
constexpr double kUnitDpi = 96;
// The most the scale can be, as the X11 side counts it.
constexpr double kMaxScale = 8;
// A keymap larger than this is no keyboard's.
constexpr uint32_t kMaxKeymapSize = 1 << 20;
// Input held for the windows beyond this is dropped: they are behind.
constexpr size_t kMaxQueuedInput = 1024;

struct Output {
    wl_output* output = nullptr;
    zxdg_output_v1* logical = nullptr;
    int scale = 1;
    int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
    int32_t pixelWidth = 0;
    int32_t pixelHeight = 0;
    SDL_Rect frame {};

    // A fraction where the compositor says how many logical units the
    // output spans, else its whole scale.
    double Scale() const
    {
        // Turned a quarter, the output's pixel rows run down its units.
        int32_t across = (transform & 1) != 0 ? pixelHeight : pixelWidth;
        if (frame.w > 0 && across > 0)
            return static_cast<double>(across) / frame.w;
        return scale;
    }
};

struct Keyboard {
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;

    void Forget()
    {
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
        state = nullptr;
        keymap = nullptr;
    }
};

struct Connection {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* shell = nullptr;
    zxdg_decoration_manager_v1* decorations = nullptr;
    zxdg_output_manager_v1* outputManager = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    Keyboard keys;
    // The windows the pointer and the keyboard are on, and where.
    uint32_t pointerWindow = 0;
    uint32_t keyboardWindow = 0;
    int pointerX = 0;
    int pointerY = 0;
    uint32_t buttons = 0;

    // Read from the outputs before the reader thread starts.
    int dpi = 0;
    SDL_Rect frame {};

    int stopFd = -1;
    std::thread reader;
};

Connection* gConnection = nullptr;
std::mutex gDispatchLock;
std::atomic<uint32_t> gNextWindowId { 1 };

std::mutex gQueueLock;
std::condition_variable gQueueChanged;
std::deque<SDL_Event> gQueue;

uint32_t WindowOf(wl_surface* surface)
{
    // A surface destroyed meanwhile comes as null.
    return surface != nullptr
        ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(wl_surface_get_user_data(surface)))
        : 0;
}

// Output

const wl_output_listener kOutputListener = {
    [](void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
        const char*, int32_t transform) { static_cast<Output*>(data)->transform = transform; },
    [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
            static_cast<Output*>(data)->pixelWidth = width;
            static_cast<Output*>(data)->pixelHeight = height;
        }
    },
    [](void*, wl_output*) {},
    [](void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = factor; },
    [](void*, wl_output*, const char*) {},
    [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kLogicalListener = {
    [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        static_cast<Output*>(data)->frame.x = x;
        static_cast<Output*>(data)->frame.y = y;
    },
    [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        static_cast<Output*>(data)->frame.w = width;
        static_cast<Output*>(data)->frame.h = height;
    },
    [](void*, zxdg_output_v1*) {},
    [](void*, zxdg_output_v1*, const char*) {},
    [](void*, zxdg_output_v1*, const char*) {},
};

// Input

void PushButton(uint32_t button, bool pressed)
{
    SDL_Event event {};
    event.type = pressed ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    event.button.windowID = gConnection->pointerWindow;
    event.button.button = button == BTN_LEFT ? SDL_BUTTON_LEFT
        : button == BTN_MIDDLE               ? SDL_BUTTON_MIDDLE
        : button == BTN_RIGHT                ? SDL_BUTTON_RIGHT
                                             : SDL_BUTTON_X1;
    event.button.state = pressed ? SDL_PRESSED : SDL_RELEASED;
    event.button.clicks = 1;
    event.button.x = gConnection->pointerX;
    event.button.y = gConnection->pointerY;
    WaylandDisplay::PushEvent(event);
}

const wl_pointer_listener kPointerListener = {
    [](void*, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
        gConnection->pointerWindow = WindowOf(surface);
        gConnection->pointerX = wl_fixed_to_int(x);
        gConnection->pointerY = wl_fixed_to_int(y);
    },
    [](void*, wl_pointer*, uint32_t, wl_surface*) {
        // A button held as the pointer leaves comes up where it went down.
        if (gConnection->buttons == 0)
            gConnection->pointerWindow = 0;
    },
    [](void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        gConnection->pointerX = wl_fixed_to_int(x);
        gConnection->pointerY = wl_fixed_to_int(y);
    },
    [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        bool pressed = state == WL_POINTER_BUTTON_STATE_PRESSED;
        gConnection->buttons += pressed ? 1 : (gConnection->buttons > 0 ? -1 : 0);
        if (gConnection->pointerWindow != 0)
            PushButton(button, pressed);
    },
    [](void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {},
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, uint32_t) {},
    [](void*, wl_pointer*, uint32_t, uint32_t) {},
    [](void*, wl_pointer*, uint32_t, int32_t) {},
    [](void*, wl_pointer*, uint32_t, int32_t) {},
};

// The keys a window acts on, as SDL names them; 0 for the others.
SDL_Keycode KeyOf(xkb_keysym_t symbol)
{
    switch (symbol) {
    case XKB_KEY_Return:
        return SDLK_RETURN;
    case XKB_KEY_KP_Enter:
        return SDLK_KP_ENTER;
    case XKB_KEY_Escape:
        return SDLK_ESCAPE;
    case XKB_KEY_w:
    case XKB_KEY_W:
        return SDLK_w;
    case XKB_KEY_F4:
        return SDLK_F4;
    default:
        return 0;
    }
}

void KeyPressed(uint32_t key)
{
    Keyboard& keys = gConnection->keys;
    if (keys.state == nullptr || gConnection->keyboardWindow == 0)
        return;
    // Evdev's numbers are XKB's less 8.
    SDL_Keycode code = KeyOf(xkb_state_key_get_one_sym(keys.state, key + 8));
    if (code == 0)
        return;
    SDL_Event event {};
    event.type = SDL_KEYDOWN;
    event.key.windowID = gConnection->keyboardWindow;
    event.key.state = SDL_PRESSED;
    event.key.keysym.sym = code;
    Uint16 modifiers = 0;
    if (xkb_state_mod_name_is_active(keys.state, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0)
        modifiers |= KMOD_LCTRL;
    if (xkb_state_mod_name_is_active(keys.state, XKB_MOD_NAME_ALT, XKB_STATE_MODS_EFFECTIVE) > 0)
        modifiers |= KMOD_LALT;
    event.key.keysym.mod = modifiers;
    WaylandDisplay::PushEvent(event);
}

// The keymap's text in the file `fd`, `size` bytes with the NUL that ends
// it; empty when it isn't one. Read, not mapped: a file shorter than it
// claims, or one cut short meanwhile, must not fault.
std::string ReadKeymap(int fd, uint32_t size)
{
    struct stat status;
    if (size == 0 || size > kMaxKeymapSize || fstat(fd, &status) != 0 || status.st_size < size)
        return {};
    std::string text(size, '\0');
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, text.data() + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        done += static_cast<size_t>(got);
    }
    text.resize(strnlen(text.data(), text.size()));
    return text;
}

void TakeKeymap(uint32_t format, int fd, uint32_t size)
{
    Keyboard& keys = gConnection->keys;
    keys.Forget();
    std::string text = format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 ? ReadKeymap(fd, size) : "";
    close(fd);
    if (text.empty() || keys.context == nullptr)
        return;
    keys.keymap = xkb_keymap_new_from_string(
        keys.context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keys.keymap != nullptr)
        keys.state = xkb_state_new(keys.keymap);
}

const wl_keyboard_listener kKeyboardListener = {
    [](void*, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
        TakeKeymap(format, fd, size);
    },
    [](void*, wl_keyboard*, uint32_t, wl_surface* surface, wl_array*) {
        gConnection->keyboardWindow = WindowOf(surface);
    },
    [](void*, wl_keyboard*, uint32_t, wl_surface*) { gConnection->keyboardWindow = 0; },
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
        if (state == WL_KEYBOARD_KEY_STATE_PRESSED)
            KeyPressed(key);
    },
    [](void*, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched, uint32_t locked,
        uint32_t group) {
        if (gConnection->keys.state != nullptr)
            xkb_state_update_mask(gConnection->keys.state, depressed, latched, locked, 0, 0, group);
    },
    [](void*, wl_keyboard*, int32_t, int32_t) {},
};

const wl_seat_listener kSeatListener = {
    [](void*, wl_seat* seat, uint32_t capabilities) {
        Connection& c = *gConnection;
        bool pointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
        bool keyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
        if (pointer && c.pointer == nullptr) {
            c.pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(c.pointer, &kPointerListener, nullptr);
        } else if (!pointer && c.pointer != nullptr) {
            wl_pointer_destroy(c.pointer);
            c.pointer = nullptr;
        }
        if (keyboard && c.keyboard == nullptr) {
            c.keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(c.keyboard, &kKeyboardListener, nullptr);
        } else if (!keyboard && c.keyboard != nullptr) {
            wl_keyboard_destroy(c.keyboard);
            c.keyboard = nullptr;
        }
    },
    [](void*, wl_seat*, const char*) {},
};

const xdg_wm_base_listener kShellListener
    = { [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); } };

const wl_registry_listener kRegistryListener = {
    [](void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        Connection& c = *gConnection;
        auto bind = [&](const wl_interface* kind, uint32_t most) {
            return wl_registry_bind(registry, name, kind, std::min(version, most));
        };
        std::string is = interface;
        // Version 3 for pictures at a scale.
        if (is == wl_compositor_interface.name && c.compositor == nullptr && version >= 3) {
            c.compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
        } else if (is == wl_shm_interface.name && c.shm == nullptr) {
            c.shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
        } else if (is == xdg_wm_base_interface.name && c.shell == nullptr) {
            c.shell = static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(c.shell, &kShellListener, nullptr);
        } else if (is == zxdg_decoration_manager_v1_interface.name && c.decorations == nullptr) {
            c.decorations = static_cast<zxdg_decoration_manager_v1*>(
                bind(&zxdg_decoration_manager_v1_interface, 1));
        } else if (is == zxdg_output_manager_v1_interface.name && c.outputManager == nullptr) {
            c.outputManager = static_cast<zxdg_output_manager_v1*>(
                bind(&zxdg_output_manager_v1_interface, 2));
        } else if (is == wl_seat_interface.name && c.seat == nullptr) {
            c.seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
            wl_seat_add_listener(c.seat, &kSeatListener, nullptr);
        } else if (is == wl_output_interface.name && version >= 2) {
            auto output = std::make_unique<Output>();
            output->output = static_cast<wl_output*>(bind(&wl_output_interface, 2));
            wl_output_add_listener(output->output, &kOutputListener, output.get());
            c.outputs.push_back(std::move(output));
        }
    },
    [](void*, wl_registry*, uint32_t) {},
};

// Sends a sync request and dispatches events until the compositor answers
// it; false after `timeoutMillis` or when the connection breaks. Before the
// reader thread starts.
bool RoundTrip(wl_display* display, int timeoutMillis)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    wl_callback* callback = wl_display_sync(display);
    bool answered = false;
    static const wl_callback_listener listener
        = { [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; } };
    wl_callback_add_listener(callback, &listener, &answered);
    while (!answered) {
        if (wl_display_dispatch_pending(display) < 0 || answered)
            break;
        // Events already queued are dispatched first.
        if (wl_display_prepare_read(display) != 0)
            continue;
        wl_display_flush(display);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd input { wl_display_get_fd(display), POLLIN, 0 };
        int ready = left.count() > 0 ? poll(&input, 1, static_cast<int>(left.count())) : 0;
        if (ready > 0) {
            if (wl_display_read_events(display) < 0)
                break;
        } else {
            wl_display_cancel_read(display);
            if (ready == 0 || errno != EINTR)
                break;
        }
    }
    wl_callback_destroy(callback);
    return answered;
}

void PushLost()
{
    SDL_Event event {};
    event.type = SDL_QUIT;
    WaylandDisplay::PushEvent(event);
}

// The reader thread: reads and dispatches the compositor's events until
// the display closes or the connection breaks, which it reports as SDL's
// driver does, with an SDL_QUIT.
void ReadEvents(Connection* c)
{
    int fd = wl_display_get_fd(c->display);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(gDispatchLock);
            while (wl_display_prepare_read(c->display) != 0) {
                if (wl_display_dispatch_pending(c->display) < 0)
                    return PushLost();
            }
        }
        // What the listeners answered (pongs, acknowledgements).
        if (wl_display_flush(c->display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(c->display);
            return PushLost();
        }
        pollfd watched[2] = { { fd, POLLIN, 0 }, { c->stopFd, POLLIN, 0 } };
        if (poll(watched, 2, -1) < 0) {
            wl_display_cancel_read(c->display);
            if (errno == EINTR)
                continue;
            return PushLost();
        }
        if (watched[1].revents != 0) {
            wl_display_cancel_read(c->display);
            return;
        }
        if (wl_display_read_events(c->display) < 0)
            return PushLost();
        std::lock_guard<std::mutex> guard(gDispatchLock);
        if (wl_display_dispatch_pending(c->display) < 0)
            return PushLost();
    }
}

// The outputs' dpi and the first one's frame, from what they said.
void ReadOutputs(Connection& c)
{
    double scale = 0;
    for (const auto& output : c.outputs)
        scale = std::max(scale, std::min(output->Scale(), kMaxScale));
    c.dpi = static_cast<int>(std::lround(scale * kUnitDpi));
    if (c.outputs.empty())
        return;
    const Output& first = *c.outputs.front();
    c.frame = first.frame;
    if (c.frame.w <= 0 || c.frame.h <= 0) {
        // Without logical sizes: the pixels at the whole scale.
        int whole = std::max(first.scale, 1);
        bool turned = (first.transform & 1) != 0;
        c.frame.w = (turned ? first.pixelHeight : first.pixelWidth) / whole;
        c.frame.h = (turned ? first.pixelWidth : first.pixelHeight) / whole;
    }
}

void Destroy(Connection* c)
{
    for (auto& output : c->outputs) {
        if (output->logical != nullptr)
            zxdg_output_v1_destroy(output->logical);
        wl_output_destroy(output->output);
    }
    c->keys.Forget();
    xkb_context_unref(c->keys.context);
    if (c->pointer != nullptr)
        wl_pointer_destroy(c->pointer);
    if (c->keyboard != nullptr)
        wl_keyboard_destroy(c->keyboard);
    if (c->seat != nullptr)
        wl_seat_destroy(c->seat);
    if (c->outputManager != nullptr)
        zxdg_output_manager_v1_destroy(c->outputManager);
    if (c->decorations != nullptr)
        zxdg_decoration_manager_v1_destroy(c->decorations);
    if (c->shell != nullptr)
        xdg_wm_base_destroy(c->shell);
    if (c->shm != nullptr)
        wl_shm_destroy(c->shm);
    if (c->compositor != nullptr)
        wl_compositor_destroy(c->compositor);
    if (c->registry != nullptr)
        wl_registry_destroy(c->registry);
    if (c->stopFd >= 0)
        close(c->stopFd);
    wl_display_disconnect(c->display);
    delete c;
}

} // namespace

Result<> WaylandDisplay::Open(const char* name, int timeoutMillis)
{
    // The library's own complaints would be lines beside ours, and a
    // compositor could have it say anything, as often as it likes.
    wl_log_set_handler_client([](const char*, va_list) {});
    wl_display* display = wl_display_connect(name);
    if (display == nullptr)
        return Error::FromErrno(errno, "can't reach the Wayland compositor: ");
    gConnection = new Connection;
    Connection& c = *gConnection;
    c.display = display;
    // A compositor's keymap is whole: nothing to include, no names from the
    // environment, and nothing said about the keymaps it can't compile.
    c.keys.context = xkb_context_new(static_cast<xkb_context_flags>(
        XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (c.keys.context != nullptr)
        xkb_context_set_log_fn(c.keys.context, [](xkb_context*, xkb_log_level, const char*, va_list) {});
    c.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    c.registry = wl_display_get_registry(display);
    wl_registry_add_listener(c.registry, &kRegistryListener, nullptr);
    // The globals, then what was bound from them.
    bool answered = RoundTrip(display, timeoutMillis);
    if (answered && c.outputManager != nullptr) {
        for (auto& output : c.outputs) {
            output->logical = zxdg_output_manager_v1_get_xdg_output(c.outputManager, output->output);
            zxdg_output_v1_add_listener(output->logical, &kLogicalListener, output.get());
        }
    }
    answered = answered && RoundTrip(display, timeoutMillis);
    const char* missing = c.compositor == nullptr ? "wl_compositor 3"
        : c.shm == nullptr                        ? "wl_shm"
        : c.shell == nullptr                      ? "xdg_wm_base"
                                                  : nullptr;
    if (!answered || missing != nullptr || c.stopFd < 0) {
        Error error { B_ERROR,
            !answered                ? "the Wayland compositor didn't answer"
                : missing != nullptr ? std::string("the Wayland compositor offers no ") + missing
                                     : "no event descriptor" };
        Destroy(gConnection);
        gConnection = nullptr;
        return error;
    }
    ReadOutputs(c);
    c.reader = std::thread(ReadEvents, gConnection);
    return {};
}

void WaylandDisplay::Close()
{
    if (gConnection == nullptr)
        return;
    uint64_t one = 1;
    if (write(gConnection->stopFd, &one, sizeof one) < 0) {
        // An eventfd's counter takes this; nothing else can fail here.
    }
    gConnection->reader.join();
    Destroy(gConnection);
    gConnection = nullptr;
    std::lock_guard<std::mutex> guard(gQueueLock);
    gQueue.clear();
}

bool WaylandDisplay::WaitEvent(SDL_Event* event, int timeoutMillis)
{
    std::unique_lock<std::mutex> lock(gQueueLock);
    auto ready = [] { return !gQueue.empty(); };
    if (timeoutMillis < 0)
        gQueueChanged.wait(lock, ready);
    else if (!gQueueChanged.wait_for(lock, std::chrono::milliseconds(timeoutMillis), ready))
        return false;
    *event = gQueue.front();
    gQueue.pop_front();
    return true;
}

bool WaylandDisplay::PollEvent(SDL_Event* event)
{
    return WaitEvent(event, 0);
}

void WaylandDisplay::PushEvent(const SDL_Event& event)
{
    {
        std::lock_guard<std::mutex> guard(gQueueLock);
        bool input = event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_MOUSEBUTTONUP
            || event.type == SDL_KEYDOWN;
        if (input && gQueue.size() >= kMaxQueuedInput)
            return;
        gQueue.push_back(event);
    }
    gQueueChanged.notify_all();
}

bool WaylandDisplay::OutputFrame(SDL_Rect* frame)
{
    if (gConnection == nullptr || gConnection->frame.w <= 0 || gConnection->frame.h <= 0)
        return false;
    *frame = gConnection->frame;
    return true;
}

int WaylandDisplay::OutputDpi()
{
    return gConnection != nullptr ? gConnection->dpi : 0;
}

wl_display* WaylandDisplay::Display()
{
    return gConnection->display;
}

wl_compositor* WaylandDisplay::Compositor()
{
    return gConnection->compositor;
}

wl_shm* WaylandDisplay::Shm()
{
    return gConnection->shm;
}

xdg_wm_base* WaylandDisplay::Shell()
{
    return gConnection->shell;
}

zxdg_decoration_manager_v1* WaylandDisplay::Decorations()
{
    return gConnection->decorations;
}

std::mutex& WaylandDisplay::DispatchLock()
{
    return gDispatchLock;
}

uint32_t WaylandDisplay::Track(wl_surface* surface)
{
    uint32_t id = gNextWindowId++;
    wl_surface_set_user_data(surface, reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
    return id;
}
