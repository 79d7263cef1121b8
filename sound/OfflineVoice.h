#pragma once

// One voice played offline: what an instance plays, computed as fast as the
// machine goes. It runs the voice's model, its picture's random choices and
// the synthesis in the order a running instance does, and keeps time in
// frames instead of microseconds: the instance's window handles a pulse,
// redraws if the pulse changed the colours, and on its next turn rolls the
// settings if the pulse asked for it; the engine's buffers fall in between.
//
// Each voice has its own parameter block and generator, so voices can play
// side by side on different threads.

#include "ParameterBlock.h"
#include "SupportDefs.h"
#include "Synth.h"
#include "VoiceModel.h"

#include <cstdlib>
#include <memory>

struct VoiceSnapshot;

class OfflineVoice {
public:
    // The frames between two pulses.
    static constexpr int64 kPulseFrames = VoiceModel::kPulseMicros * kSynthFrameRate / 1000000;

    // The voice of an instance started with `seed`, from its start.
    explicit OfflineVoice(unsigned seed);
    // The voice of a running instance, from the moment of `snapshot`: one
    // that VoiceSnapshot::Decode() accepted or a voice's own.
    explicit OfflineVoice(const VoiceSnapshot& snapshot);

    OfflineVoice(const OfflineVoice&) = delete;
    OfflineVoice& operator=(const OfflineVoice&) = delete;

    // The next `frames` frames, interleaved stereo floats, in buffers of at
    // most the engine's size, split so that each pulse falls between two of
    // them.
    void Render(float* out, int64 frames);

private:
    struct Free {
        void operator()(float* line) const { free(line); }
    };

    // The draws of a redraw of the picture.
    void Redraw();
    void Pulse();

    ParameterBlock fParameters;
    VoiceModel fModel { fParameters };
    std::unique_ptr<float, Free> fDelayLine;
    SynthState fSynth;
    int64 fUntilPulse = kPulseFrames;
};
