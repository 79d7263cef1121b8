#pragma once

// A fixture for driving BufferProc by hand: an engine whose player has been
// released, with its state cleared, and a parameter block set to a quiet,
// centred start.

#include "AudioSubs.h"
#include "BufferProc.h"
#include "ParameterBlock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

class EngineTest : public testing::Test {
protected:
    // A waveform value that renders nothing, so the player's own calls
    // during construction leave the engine untouched.
    static constexpr uint32 kSilentWaveform = 7;

    void SetUp() override
    {
        globalWubbix.waveform = kSilentWaveform;
        engine = std::make_unique<AudioSubs>();
        engine->CleanUp();
        engine->writePos = 0;
        engine->phase = 0.0f;
        engine->rampAccumulator = 0;
        memset(engine->delayLine, 0, DELAY_CAPACITY * sizeof(float));

        globalWubbix.feedback = 0.0f;
        globalWubbix.delayLength = 0;
        globalWubbix.frequency = 0.0f;
        globalWubbix.pan = 0.5f;
        globalWubbix.leftGain = 0.70710677f;
        globalWubbix.rightGain = 0.70710677f;
    }

    // Renders `frames` frames and returns them interleaved, left first.
    std::vector<float> Render(size_t frames)
    {
        std::vector<float> out(frames * 2, -99.0f);
        BufferProc(engine.get(), out.data(), frames * 8, EngineFormat());
        return out;
    }

    std::unique_ptr<AudioSubs> engine;
};
