#pragma once

// The synthesis itself: one voice, a sine or a 16-bit ramp, through a
// feedback delay line whose sum wraps around the 16-bit range instead of
// clipping, into interleaved stereo float frames panned by the parameter
// block's gains. Plain code, for the live engine and for offline renders.

#include "ParameterBlock.h"
#include "SupportDefs.h"

#include <cstddef>

// The voice's rate, whatever the device plays at, and the frames of one
// buffer of the live engine.
inline constexpr int32 kSynthFrameRate = 44100;
inline constexpr int32 kEngineBufferFrames = 1024;

// What one voice carries from frame to frame besides its parameters.
struct SynthState {
    float* delayLine = nullptr; // DELAY_CAPACITY samples on the 16-bit scale
    int32 writePos = 0;
    float phase = 0.0f; // sine phase in radians, 0 ... 6.28
    uint16 rampAccumulator = 0;
};

// Renders `frames` frames of two floats, left first, reading `parameters`
// as they are at each frame. Takes no lock and allocates nothing.
void Synthesize(SynthState& state, const ParameterBlock& parameters, float* out, size_t frames);

// A delay line of DELAY_CAPACITY samples, all 0, to be released with free();
// throws std::bad_alloc when there is no memory for it.
float* NewDelayLine();
// Puts the voice in the middle of the stereo field.
void CentreVoice(ParameterBlock& parameters);
