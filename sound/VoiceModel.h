#pragma once

// How a voice moves: the rolls of its settings, its character, and on every
// pulse the four random walks and the restlessness that sweeps up and down.
// The model writes one parameter block, which an engine plays, and draws
// every random number from a generator of its own; the picture that goes
// with the voice draws from the same generator (see PictureDraws.h), so one
// seed gives the whole instance.
//
// Not thread-safe: one thread runs the model, the engine only reads the
// parameter block.

#include "ParameterBlock.h"
#include "RandomSource.h"
#include "SupportDefs.h"

#include <functional>

class VoiceModel {
public:
    // What a pulse asks of its owner besides the changes it made.
    struct Reroll {
        bool asked = false; // roll the drift settings again
        bool mains = false; // and the delay, frequency and feedback

        bool operator==(const Reroll&) const = default;
    };

    // The values of every field of a parameter block.
    struct Parameters {
        int32 delayLength = 0;
        uint32 waveform = 0;
        float frequency = 0;
        float feedback = 0;
        float feedbackDriftScale = 0;
        float feedbackDriftChance = 0;
        float frequencyDriftScale = 0;
        float delayDriftScale = 0;
        float frequencyDriftChance = 0;
        float delayDriftChance = 0;
        float restlessness = 0;
        float pan = 0;
        float leftGain = 0;
        float rightGain = 0;
        float restlessnessStep = 0;

        bool operator==(const Parameters&) const = default;
    };

    // Everything the model carries from one pulse to the next.
    struct State {
        Parameters parameters;
        int32 direction = -1;
        RandomSource::State random;
        // The roll the last pulse asked for, until a roll is done.
        Reroll pending;

        bool operator==(const State&) const = default;
    };

    // The time from one pulse to the next.
    static constexpr int64 kPulseMicros = 100000;

    explicit VoiceModel(ParameterBlock& parameters) : fParameters(parameters) {}

    VoiceModel(const VoiceModel&) = delete;
    VoiceModel& operator=(const VoiceModel&) = delete;

    void Seed(unsigned seed) { fRandom.Seed(seed); }
    RandomSource& Random() { return fRandom; }
    ParameterBlock& Block() { return fParameters; }

    // Rolls the six drift settings; with `mains` first the delay length,
    // frequency and feedback, with `delta` before those the restlessness.
    // Any roll counts as the one a pulse asked for.
    void Roll(bool mains, bool delta);
    // The roll the last pulse asked for and nothing has done yet.
    Reroll Pending() const { return fPending; }
    // Chooses the waveform and the pace of the restlessness's sweep.
    void RollCharacter();
    // One pulse: each walk tests a fresh draw and takes its step from the
    // next one, in order pan, frequency, feedback, delay; a frequency step
    // calls `pitchStepped` before the walks go on. Then the restlessness
    // decides whether to ask for a roll, and takes its step.
    Reroll Pulse(const std::function<void()>& pitchStepped);

    State Save() const;
    // Puts back a saved state; false, changing nothing, when it holds values
    // the model never produces (a direction other than 1 or -1, a waveform
    // it doesn't know, a delay out of range, a generator state no draws
    // reach, a pending roll with mains but not asked).
    bool Restore(const State& state);

private:
    ParameterBlock& fParameters;
    RandomSource fRandom;
    // The sign of the next restlessness move.
    int32 fDirection = -1;
    Reroll fPending;
};
