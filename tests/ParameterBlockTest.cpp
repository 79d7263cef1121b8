// The shared parameter block: zero at process start, and equal-power gains
// for every pan position the drift can reach.

#include "ParameterBlock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <unistd.h>

// Only a fresh process shows the block as it starts, so the check runs in a
// re-executed child.
TEST(ParameterBlock, EveryFieldIsZeroAtProcessStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto checkZero = [] {
        const ParameterBlock& b = globalWubbix;
        bool zero = b.delayLength == 0 && b.waveform == WAVE_SINE && b.frequency == 0.0f
            && b.feedback == 0.0f && b.feedbackDriftScale == 0.0f && b.feedbackDriftChance == 0.0f
            && b.frequencyDriftScale == 0.0f && b.delayDriftScale == 0.0f
            && b.frequencyDriftChance == 0.0f && b.delayDriftChance == 0.0f
            && b.restlessness == 0.0f && b.pan == 0.0f && b.leftGain == 0.0f
            && b.rightGain == 0.0f && b.restlessnessStep == 0.0f;
        _exit(zero ? 0 : 1);
    };
    EXPECT_EXIT(checkZero(), testing::ExitedWithCode(0), "");
}

TEST(ParameterBlock, GainsStayEqualPowerAcrossThePan)
{
    for (float pan : { 0.0f, 0.25f, 0.5f, 0.99f, 1.0f }) {
        globalWubbix.pan = pan;
        globalWubbix.rightGain = static_cast<float>(std::sqrt(static_cast<double>(globalWubbix.pan)));
        globalWubbix.leftGain = static_cast<float>(std::sqrt(1.0 - globalWubbix.pan));
        float left = globalWubbix.leftGain;
        float right = globalWubbix.rightGain;
        EXPECT_NEAR(left * left + right * right, 1.0f, 1e-6) << "pan " << pan;
    }
    EXPECT_EQ(static_cast<float>(globalWubbix.leftGain), 0.0f);
    EXPECT_EQ(static_cast<float>(globalWubbix.rightGain), 1.0f);
}
