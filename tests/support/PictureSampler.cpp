#include "PictureSampler.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

// The window's pixels as the server holds them; empty if they can't be
// read (the window is gone, or not viewable).
std::string Pixels(Display* display, Window window)
{
    Window root = 0;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, window, &root, &x, &y, &width, &height, &border, &depth))
        return {};
    XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
    if (image == nullptr)
        return {};
    std::string pixels(image->data, static_cast<size_t>(image->bytes_per_line) * image->height);
    XDestroyImage(image);
    return pixels;
}

} // namespace

PictureSampler::PictureSampler(Display* display, const std::vector<Window>& windows)
    : fDisplay(display)
{
    for (Window window : windows)
        fWindows.push_back({ window, {}, {}, {} });
}

void PictureSampler::Sample(std::chrono::milliseconds duration, std::chrono::milliseconds interval)
{
    Clock::time_point end = Clock::now() + duration;
    for (Clock::time_point next = Clock::now(); next < end;) {
        for (Watched& watched : fWindows) {
            Clock::time_point start = Clock::now();
            std::string pixels = Pixels(fDisplay, watched.window);
            if (pixels.empty())
                continue;
            if (!watched.pixels.empty() && pixels != watched.pixels)
                watched.changes.push_back({ watched.sampled, Clock::now() });
            watched.pixels = std::move(pixels);
            watched.sampled = start;
        }
        // A sample that came late is not made up for.
        next = std::max(next + interval, Clock::now());
        std::this_thread::sleep_until(next);
    }
}

int MostChangesInOneSecond(const std::vector<PictureChange>& changes)
{
    int most = 0;
    size_t first = 0;
    for (size_t last = 0; last < changes.size(); last++) {
        while (first <= last && changes[last].by - changes[first].after >= std::chrono::seconds(1))
            first++;
        most = std::max(most, static_cast<int>(last - first + 1));
    }
    return most;
}
