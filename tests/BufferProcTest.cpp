// Renders buffers by hand on a cleared engine and checks the samples, the
// delay line and the oscillator state that BufferProc leaves behind.

#include "EngineFixture.h"
#include "e2e/ProgramLines.h"

#include <cmath>
#include <cstdint>
#include <unistd.h>

namespace {

constexpr float kCentreGain = 0.70710677f;

// What a channel carries for a sample on the 16-bit scale at centre pan.
float Centred(double sample)
{
    return static_cast<float>(sample * kCentreGain / 32767.0);
}

} // namespace

using SineTest = EngineTest;
using RampTest = EngineTest;
using BufferTest = EngineTest;

TEST_F(SineTest, FirstFrameIsSilentAndPhaseTakesOneStep)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 439.9f;

    std::vector<float> out = Render(1);

    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_NEAR(engine->phase, 0.0626576f, 1e-7);
}

TEST_F(SineTest, WithoutFeedbackBothChannelsCarryTheScaledSine)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 439.9f;

    std::vector<float> out = Render(300);

    float peak = 0.0f;
    for (size_t i = 0; i < 300; i++) {
        ASSERT_EQ(out[2 * i], out[2 * i + 1]) << "frame " << i;
        peak = std::max(peak, out[2 * i]);
    }
    EXPECT_NEAR(peak, kCentreGain, 1e-4);
    // A 440 Hz cycle lasts about 100.23 frames: frame 25 sits near the crest.
    EXPECT_FLOAT_EQ(out[50], 0.707100093f);
}

TEST_F(SineTest, SumAboveFullScaleWrapsOnceIntoOutputAndDelayLine)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.feedback = 1.0f;
    engine->delayLine[0] = 30000.0f;
    engine->phase = static_cast<float>(std::asin(10000.0 / 32767.0));

    std::vector<float> out = Render(1);

    EXPECT_NEAR(engine->delayLine[0], -25536.0f, 0.01f);
    EXPECT_NEAR(out[0], Centred(-25536.0), 1e-6);
    EXPECT_EQ(out[0], out[1]);
}

TEST_F(SineTest, SumsExactlyAtFullScaleAreNotWrapped)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.feedback = 1.0f;
    globalWubbix.delayLength = 2;
    engine->delayLine[0] = 32767.0f;
    engine->delayLine[1] = -32768.0f;
    // Each frame starts at phase 0, where the sine is 0, so the sum is the
    // delayed value itself.

    std::vector<float> first = Render(1);
    engine->phase = 0.0f;
    std::vector<float> second = Render(1);

    EXPECT_EQ(engine->delayLine[0], 32767.0f);
    EXPECT_EQ(engine->delayLine[1], -32768.0f);
    EXPECT_EQ(first[0], kCentreGain);
    EXPECT_EQ(second[0], Centred(-32768.0));
}

TEST_F(SineTest, SumBelowNegativeFullScaleWrapsUp)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.feedback = 1.0f;
    engine->delayLine[0] = -40000.0f;

    Render(1);

    EXPECT_EQ(engine->delayLine[0], 25536.0f);
}

TEST_F(SineTest, PhaseComesBackBy628NotTwoPi)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 439.9f;
    engine->phase = 6.27f;

    Render(1);

    // 6.27 and a step of 0.0626576, less 6.28; 2 pi would have left about 0.049.
    EXPECT_FLOAT_EQ(engine->phase, 0.0526578128f);
}

TEST_F(SineTest, StepAbovePeriodLeavesPhaseGrowing)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 88199.9f; // an increment of about 12.56

    Render(1);
    float afterOne = engine->phase;
    Render(1);

    // Each step of 12.56 less one period: 6.28 more each time.
    EXPECT_FLOAT_EQ(afterOne, 6.27999926f);
    EXPECT_FLOAT_EQ(engine->phase, 12.5599985f);
}

TEST_F(RampTest, FeedbackSumsOverATwoFrameDelay)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 1000.9f;
    globalWubbix.feedback = 0.5f;
    globalWubbix.delayLength = 2;

    std::vector<float> out = Render(5);

    const double expected[] = { 1000, 2000, 3500, 5000, 6750 };
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(out[2 * i], Centred(expected[i])) << "frame " << i;
        EXPECT_EQ(out[2 * i + 1], Centred(expected[i])) << "frame " << i;
    }
    EXPECT_EQ(engine->delayLine[0], 6750.0f);
    EXPECT_EQ(engine->delayLine[1], 5000.0f);
    EXPECT_EQ(engine->rampAccumulator, 5000);
}

TEST_F(RampTest, AccumulatorWrapsToNegativeSixteenBitValue)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 1000.0f;
    engine->rampAccumulator = 32000;

    std::vector<float> out = Render(1);

    EXPECT_EQ(engine->delayLine[0], -32536.0f);
    EXPECT_EQ(out[0], Centred(-32536.0));
}

TEST_F(RampTest, FrequencyBelowOneFreezesTheAccumulator)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 0.99f;
    engine->rampAccumulator = 1234;

    std::vector<float> out = Render(3);

    EXPECT_EQ(engine->rampAccumulator, 1234);
    EXPECT_EQ(out[4], Centred(1234.0));
}

TEST_F(RampTest, HugeFrequencyStillAdvancesByItsLowSixteenBits)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 4294967296.0f + 65536.0f * 4; // 2^32 + 2^18: a multiple of 2^16

    Render(3);
    EXPECT_EQ(engine->rampAccumulator, 0);

    globalWubbix.frequency = INFINITY;
    Render(3);
    EXPECT_EQ(engine->rampAccumulator, 0);
}

// With a delay of 0 or 1 frames every frame feeds back what the previous one
// wrote, so a ramp stepping by 1 with full feedback sums up: 1, 3, 6, 10, ...
TEST_F(RampTest, DelayOfZeroOrOneFramesFeedsBackThePreviousFrame)
{
    for (int32 length : { 0, 1 }) {
        SCOPED_TRACE(length);
        SetUp();
        globalWubbix.waveform = WAVE_RAMP;
        globalWubbix.frequency = 1.0f;
        globalWubbix.feedback = 1.0f;
        globalWubbix.delayLength = length;

        std::vector<float> out = Render(5);

        const double expected[] = { 1, 3, 6, 10, 15 };
        for (size_t i = 0; i < 5; i++)
            EXPECT_EQ(out[2 * i], Centred(expected[i])) << "frame " << i;
        EXPECT_EQ(engine->writePos, 0);
    }
}

TEST_F(BufferTest, DelayLengthLoweredBelowWritePosSendsItBackToStart)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 10.0f;
    globalWubbix.delayLength = 100;
    Render(50);
    ASSERT_EQ(engine->writePos, 50);

    globalWubbix.delayLength = 10;
    Render(1);

    EXPECT_EQ(engine->writePos, 0);
    EXPECT_EQ(engine->delayLine[50], 510.0f);
}

TEST_F(BufferTest, OddSizeFillsWholeFramesAndLeavesTrailingBytes)
{
    globalWubbix.waveform = WAVE_RAMP;
    globalWubbix.frequency = 7.0f;
    alignas(float) unsigned char buffer[8195 + 5];
    memset(buffer, 0xAB, sizeof buffer);

    BufferProc(engine.get(), buffer, 8195, EngineFormat());

    float last[2];
    memcpy(last, buffer + 8184, sizeof last);
    EXPECT_EQ(last[0], Centred(7.0 * 1024));
    for (size_t i = 8192; i < sizeof buffer; i++)
        EXPECT_EQ(buffer[i], 0xAB) << "byte " << i;
    EXPECT_EQ(engine->rampAccumulator, 7 * 1024);
}

TEST_F(BufferTest, UnknownWaveformWritesNothing)
{
    globalWubbix.waveform = 2;
    globalWubbix.frequency = 439.9f;

    std::vector<float> out = Render(4);

    for (float sample : out)
        EXPECT_EQ(sample, -99.0f);
    EXPECT_EQ(engine->phase, 0.0f);
}

// The first call of the process prints the player's format, once. A fresh
// process is needed to see the first call, so this runs in a child.
TEST(BufferProcFormat, FiveLinesOnFirstCallOnly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto renderTwice = [] {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        // No engine is needed: a size of 0 renders no frames.
        BufferProc(nullptr, nullptr, 0, EngineFormat());
        BufferProc(nullptr, nullptr, 0, EngineFormat());
        _exit(0);
    };
    EXPECT_EXIT(renderTwice(), testing::ExitedWithCode(0), testing::Eq(kFormatLines));
}
