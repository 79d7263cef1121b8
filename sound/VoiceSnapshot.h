#pragma once

// A running voice's whole state at one moment: its model, its synthesis and
// where its next pulse falls. From it, an offline voice plays on exactly as
// the voice would, until something outside the voice (a redraw asked for by
// the window system, a roll asked for by a tool) steers it another way.
// Snapshots travel between processes, so Decode() takes its input as
// untrusted.

#include "ParameterBlock.h"
#include "Result.h"
#include "SupportDefs.h"
#include "Synth.h"
#include "VoiceModel.h"

#include <cstddef>
#include <vector>

struct VoiceSnapshot {
    // Only this much of the delay line is ever read or written: the delay
    // length never exceeds MAX_DELAY_LENGTH.
    static constexpr size_t kDelaySamples = MAX_DELAY_LENGTH;
    // The size of an encoded snapshot.
    static const size_t kEncodedSize;

    VoiceModel::State model;
    std::vector<float> delayLine = std::vector<float>(kDelaySamples);
    int32 writePos = 0;
    float phase = 0.0f;
    uint16 rampAccumulator = 0;
    // Frames from this moment to the next pulse, 0 ... OfflineVoice::kPulseFrames.
    int64 framesToPulse = 0;

    bool operator==(const VoiceSnapshot&) const = default;

    // The snapshot in a fixed little-endian layout with a version in front.
    std::vector<uint8> Encode() const;
    // A snapshot from Encode()'s bytes; B_BAD_DATA for anything else: the
    // wrong size or version, a model state VoiceModel::Restore refuses, a
    // write position past the delay line, a number that isn't finite or a
    // sample further off the 16-bit scale than the synthesis's wrap leaves
    // one, a pulse out of range.
    static Result<VoiceSnapshot> Decode(const void* data, size_t size);
};
