#pragma once

// Everything that shapes an instance's sound, and the chances and step sizes
// with which it wanders. One block per process, `globalWubbix`.
//
// The window's thread writes the fields one by one, the sound thread reads
// them, and no lock is taken: each field is a 32-bit atomic accessed with
// relaxed ordering, so every read and write is whole but the reader may see
// some of a batch of changes before the others.

#include "SupportDefs.h"

#include <atomic>

enum : uint32 {
    WAVE_SINE = 0,
    WAVE_RAMP = 1,
};

// The highest delay length the writers allow, in frames.
inline constexpr int32 MAX_DELAY_LENGTH = 22049;
// The delay line's size in frames.
inline constexpr int32 DELAY_CAPACITY = 44100;

// A 32-bit value that is read and written whole from any thread, with
// relaxed ordering. Reads and writes look like those of a plain field.
template <typename T>
class RelaxedField {
public:
    static_assert(sizeof(T) == 4);
    static_assert(std::atomic<T>::is_always_lock_free);

    constexpr RelaxedField() = default;

    operator T() const { return fValue.load(std::memory_order_relaxed); }
    RelaxedField& operator=(T value)
    {
        fValue.store(value, std::memory_order_relaxed);
        return *this;
    }
    RelaxedField(const RelaxedField&) = delete;
    RelaxedField& operator=(const RelaxedField&) = delete;

private:
    std::atomic<T> fValue {};
};

static_assert(sizeof(RelaxedField<int32>) == 4);
static_assert(sizeof(RelaxedField<uint32>) == 4);
static_assert(sizeof(RelaxedField<float>) == 4);

struct ParameterBlock {
    RelaxedField<int32> delayLength; // frames, 0 ... MAX_DELAY_LENGTH
    RelaxedField<uint32> waveform;   // WAVE_SINE or WAVE_RAMP
    RelaxedField<float> frequency;   // >= 0
    RelaxedField<float> feedback;    // 0 ... 1
    RelaxedField<float> feedbackDriftScale;
    RelaxedField<float> feedbackDriftChance;
    RelaxedField<float> frequencyDriftScale;
    RelaxedField<float> delayDriftScale;
    RelaxedField<float> frequencyDriftChance;
    RelaxedField<float> delayDriftChance;
    RelaxedField<float> restlessness;     // sweeps about 0 ... 1
    RelaxedField<float> pan;              // 0 left, 1 right
    RelaxedField<float> leftGain;         // sqrt(1 - pan)
    RelaxedField<float> rightGain;        // sqrt(pan)
    RelaxedField<float> restlessnessStep; // 0 ... 0.0025
};

static_assert(sizeof(ParameterBlock) == 15 * 4);

// Zero in every field until something writes it.
extern ParameterBlock globalWubbix;
