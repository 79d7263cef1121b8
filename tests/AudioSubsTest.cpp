// The engine's life cycle on a real player thread.

#include "AudioSubs.h"
#include "Clock.h"
#include "ParameterBlock.h"
#include "SoundPlayer.h"

#include <gtest/gtest.h>

namespace {

// Waits up to two seconds for `done` to hold.
template <typename Predicate>
bool WaitFor(Predicate done)
{
    bigtime_t deadline = system_time() + 2000000;
    while (!done()) {
        if (system_time() > deadline)
            return false;
        snooze(1000);
    }
    return true;
}

} // namespace

TEST(AudioSubs, ConstructionCentresWhateverTheBlockHeld)
{
    globalWubbix.pan = 0.125f;
    globalWubbix.leftGain = 0.25f;
    globalWubbix.rightGain = 0.0f;
    globalWubbix.waveform = 7; // renders nothing, so the start state stays visible

    AudioSubs engine;

    EXPECT_EQ(static_cast<float>(globalWubbix.pan), 0.5f);
    EXPECT_EQ(static_cast<float>(globalWubbix.leftGain), 0.70710677f);
    EXPECT_EQ(static_cast<float>(globalWubbix.rightGain), 0.70710677f);
    float left = globalWubbix.leftGain;
    float right = globalWubbix.rightGain;
    EXPECT_NEAR(left * left + right * right, 1.0f, 1e-6);
    EXPECT_EQ(engine.writePos, 0);
    EXPECT_EQ(engine.phase, 0.0f);
    EXPECT_EQ(engine.rampAccumulator, 0);
    for (int32 i = 0; i < DELAY_CAPACITY; i++)
        ASSERT_EQ(engine.delayLine[i], 0.0f) << "slot " << i;
    ASSERT_NE(engine.player, nullptr);
    EXPECT_EQ(engine.player->InitCheck(), B_OK);
    EXPECT_TRUE(engine.player->HasData());
}

TEST(AudioSubs, ConstructionTakesAtLeastTenMilliseconds)
{
    globalWubbix.waveform = WAVE_SINE;
    bigtime_t start = system_time();
    AudioSubs engine;
    EXPECT_GE(system_time() - start, 10000);
}

TEST(AudioSubs, NoCallbackRunsAfterCleanUp)
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 439.9f;
    globalWubbix.delayLength = 0;

    auto engine = std::make_unique<AudioSubs>();
    ASSERT_TRUE(WaitFor([&] { return engine->phase != 0.0f; })) << "the player never called back";

    engine->CleanUp();
    EXPECT_EQ(engine->player, nullptr);
    float phase = engine->phase;
    snooze(100000); // several buffers' worth
    EXPECT_EQ(engine->phase, phase);

    // A second CleanUp and the destructor find no player to release again.
    engine->CleanUp();
    engine.reset();
}
