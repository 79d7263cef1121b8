#pragma once

// One voice of a render: an instance as it runs on screen, but with its
// window never shown and run by hand, and its engine silent. The instance's
// own code sets it up, pulses it, handles what the pulses ask for and fills
// its frames; the voice only keeps time, in frames instead of microseconds.
//
// The sound's state (the parameter block, the random generator, the drift's
// direction) is the process's, so a process holds one voice at a time.

#include "SupportDefs.h"
#include "gondavel_wubbixWindow.h"

class Voice {
public:
    // Sets the instance up as it starts, from `seed`.
    explicit Voice(unsigned seed);

    Voice(const Voice&) = delete;
    Voice& operator=(const Voice&) = delete;

    // The next `frames` frames of the voice, interleaved stereo floats, as
    // the engine fills them: in buffers of at most the engine's size, split
    // so that each pulse falls between two of them, with the pulse and what
    // it posted handled before the frames after it.
    void Render(float* out, int64 frames);

private:
    gondavel_wubbixWindow fWindow;
    int64 fPulseFrames;
    int64 fUntilPulse;
};
