#pragma once

// PictureSampler: a screen sampler for windows on an X display. It reads
// each window's pixels (XGetImage) every 10 ms and notes when they change.
// A change seen in one sample happened after the sample before it began and
// before this one ended; the sampler keeps both bounds, so what it reports
// holds however late a busy machine takes the samples. Sampling may pause
// and go on: a change made meanwhile counts once, its bounds spanning the
// pause. Use it on one thread.

#include "XHandles.h"

#include <chrono>
#include <string>
#include <vector>

struct PictureChange {
    std::chrono::steady_clock::time_point after;
    std::chrono::steady_clock::time_point by;
};

class PictureSampler {
public:
    PictureSampler(Display* display, const std::vector<Window>& windows);

    // Samples every window every `interval` for `duration`.
    void Sample(std::chrono::milliseconds duration,
        std::chrono::milliseconds interval = std::chrono::milliseconds(10));
    // The changes of the n-th window seen so far, in order.
    const std::vector<PictureChange>& Changes(size_t n) const { return fWindows.at(n).changes; }

private:
    struct Watched {
        Window window;
        std::string pixels;
        std::chrono::steady_clock::time_point sampled;
        std::vector<PictureChange> changes;
    };

    Display* fDisplay;
    std::vector<Watched> fWindows;
};

// The most of `changes` that surely fell within one second: a run of them
// from the first one's earliest time to the last one's latest time spans
// less than a second.
int MostChangesInOneSecond(const std::vector<PictureChange>& changes);
