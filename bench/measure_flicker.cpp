// Counts how often the pictures of the windows on the X display in DISPLAY
// change, as a screen sampler sees them (see tests/support/PictureSampler.h): it
// waits up to 30 s until N top-level windows are mapped, samples each one
// every 10 ms for S seconds, and prints name=value lines: the windows, the
// changes per second of one window (the mean over them) and of all of
// them together, and the most changes one window surely made within one
// second. bench/flicker runs it. Exit status 1 when the windows don't
// come.
//
// Usage: measure_flicker N S

#include "PictureSampler.h"

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// The mapped children of the root window: with no window manager, every
// top-level window there is.
std::vector<Window> MappedWindows(Display* display)
{
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> windows;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return windows;
    for (unsigned int i = 0; i < count; i++) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes)
            && attributes.map_state == IsViewable)
            windows.push_back(children[i]);
    }
    if (children != nullptr)
        XFree(children);
    return windows;
}

} // namespace

int main(int argc, char** argv)
{
    int wanted = argc == 3 ? atoi(argv[1]) : 0;
    int seconds = argc == 3 ? atoi(argv[2]) : 0;
    if (wanted < 1 || seconds < 1) {
        fprintf(stderr, "usage: measure_flicker windows seconds\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        fprintf(stderr, "measure_flicker: couldn't open the display\n");
        return 1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<Window> windows = MappedWindows(display);
    while (static_cast<int>(windows.size()) < wanted) {
        if (std::chrono::steady_clock::now() >= deadline) {
            fprintf(stderr, "measure_flicker: %zu of %d windows came\n", windows.size(), wanted);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        windows = MappedWindows(display);
    }

    PictureSampler sampler(display, windows);
    sampler.Sample(std::chrono::seconds(seconds));
    size_t changes = 0;
    int most = 0;
    for (size_t n = 0; n < windows.size(); n++) {
        changes += sampler.Changes(n).size();
        most = std::max(most, MostChangesInOneSecond(sampler.Changes(n)));
    }
    double all = static_cast<double>(changes) / seconds;
    printf("windows=%zu\nper_window=%.2f\nall=%.2f\nmost_in_one_second=%d\n", windows.size(),
        all / static_cast<double>(windows.size()), all, most);
    XCloseDisplay(display);
    return 0;
}
