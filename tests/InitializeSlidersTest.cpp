// The parameter roll, driven through the window's message handling and
// against the C library's generator seeded by the test. The window is never
// shown, so no display is involved.

#include "Message.h"
#include "MessageCodes.h"
#include "ParameterBlock.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>

namespace {

constexpr unsigned kSeed = 12345;
// The third draw after srandom(4468975) is 2^31 - 63: as the frequency it
// rounds to 1270 exactly.
constexpr unsigned kFrequencyTopSeed = 4468975;
// The first draw after srandom(22100322) is 2^31 - 12: stored directly it
// rounds to 1.0.
constexpr unsigned kUnitTopSeed = 22100322;

// Every field, read in declaration order.
std::array<float, 15> Snapshot()
{
    const ParameterBlock& p = globalWubbix;
    return {static_cast<float>(p.delayLength), static_cast<float>(p.waveform), p.frequency,
        p.feedback, p.feedbackDriftScale, p.feedbackDriftChance, p.frequencyDriftScale,
        p.delayDriftScale, p.frequencyDriftChance, p.delayDriftChance, p.restlessness, p.pan,
        p.leftGain, p.rightGain, p.restlessnessStep};
}

// The next `count` draws of the generator after seeding it with `seed`, as
// the uniform values the roll stores.
template<size_t N>
std::array<double, N> Draws(unsigned seed)
{
    srandom(seed);
    std::array<double, N> u;
    for (double& value : u)
        value = static_cast<double>(random()) * 4.656612873077393e-10;
    return u;
}

class InitializeSlidersTest : public testing::Test {
protected:
    void SetUp() override
    {
        // Values no roll can produce, so any field a roll touches shows.
        ParameterBlock& p = globalWubbix;
        p.delayLength = -7;
        p.waveform = WAVE_RAMP;
        p.frequency = -1;
        p.feedback = -2;
        p.feedbackDriftScale = -3;
        p.feedbackDriftChance = -4;
        p.frequencyDriftScale = -5;
        p.delayDriftScale = -6;
        p.frequencyDriftChance = -7;
        p.delayDriftChance = -8;
        p.restlessness = -9;
        p.pan = 0.25f;
        p.leftGain = 0.5f;
        p.rightGain = 0.75f;
        p.restlessnessStep = 0.001f;
        fWindow = std::make_unique<gondavel_wubbixWindow>(BPoint(10, 20), 20, 20, "test");
    }

    void Deliver(BMessage message, unsigned seed)
    {
        srandom(seed);
        fWindow->MessageReceived(&message);
    }

    void ExpectDriftSettings(const double* u)
    {
        const ParameterBlock& p = globalWubbix;
        EXPECT_EQ(p.delayDriftScale, static_cast<float>(u[0]));
        EXPECT_EQ(p.delayDriftChance, static_cast<float>(u[1]));
        EXPECT_EQ(p.frequencyDriftScale, static_cast<float>(u[2]));
        EXPECT_EQ(p.frequencyDriftChance, static_cast<float>(u[3]));
        EXPECT_EQ(p.feedbackDriftScale, static_cast<float>(u[4]));
        EXPECT_EQ(p.feedbackDriftChance, static_cast<float>(u[5]));
    }

    void ExpectMainsUntouched()
    {
        EXPECT_EQ(globalWubbix.delayLength, -7);
        EXPECT_EQ(globalWubbix.frequency, -1.0f);
        EXPECT_EQ(globalWubbix.feedback, -2.0f);
    }

    void ExpectNeverRolledUntouched()
    {
        EXPECT_EQ(globalWubbix.waveform, WAVE_RAMP);
        EXPECT_EQ(globalWubbix.pan, 0.25f);
        EXPECT_EQ(globalWubbix.leftGain, 0.5f);
        EXPECT_EQ(globalWubbix.rightGain, 0.75f);
        EXPECT_EQ(globalWubbix.restlessnessStep, 0.001f);
    }

    std::unique_ptr<gondavel_wubbixWindow> fWindow;
};

TEST_F(InitializeSlidersTest, WithoutFlagsRollsOnlyTheSixDriftSettings)
{
    auto u = Draws<7>(kSeed);
    srandom(kSeed);
    fWindow->InitializeSliders(false, false);

    ExpectDriftSettings(&u[0]);
    ExpectMainsUntouched();
    EXPECT_EQ(globalWubbix.restlessness, -9.0f);
    ExpectNeverRolledUntouched();
    EXPECT_EQ(random(), static_cast<long>(u[6] / 4.656612873077393e-10))
        << "exactly six draws";
}

TEST_F(InitializeSlidersTest, WithBothFlagsRollsTenFieldsInOrder)
{
    auto u = Draws<10>(kSeed);
    srandom(kSeed);
    fWindow->InitializeSliders(true, true);

    const ParameterBlock& p = globalWubbix;
    EXPECT_EQ(p.restlessness, static_cast<float>(u[0]));
    EXPECT_EQ(p.delayLength, static_cast<int32>(u[1] * 22049.0));
    EXPECT_EQ(p.frequency, static_cast<float>(u[2] * 1270.0));
    EXPECT_EQ(p.feedback, static_cast<float>(u[3]));
    ExpectDriftSettings(&u[4]);
    ExpectNeverRolledUntouched();

    EXPECT_GE(p.delayLength, 0);
    EXPECT_LE(p.delayLength, 22048);
    EXPECT_GE(p.frequency, 0.0f);
    EXPECT_LE(p.frequency, 1270.0f);
}

TEST_F(InitializeSlidersTest, MainsWithoutDeltaLeavesRestlessness)
{
    auto u = Draws<9>(kSeed);
    srandom(kSeed);
    fWindow->InitializeSliders(true, false);

    EXPECT_EQ(globalWubbix.delayLength, static_cast<int32>(u[0] * 22049.0));
    EXPECT_EQ(globalWubbix.frequency, static_cast<float>(u[1] * 1270.0));
    EXPECT_EQ(globalWubbix.feedback, static_cast<float>(u[2]));
    ExpectDriftSettings(&u[3]);
    EXPECT_EQ(globalWubbix.restlessness, -9.0f);
}

TEST_F(InitializeSlidersTest, TopDrawsRoundToTheFullRange)
{
    srandom(kFrequencyTopSeed);
    fWindow->InitializeSliders(true, true);
    EXPECT_EQ(globalWubbix.frequency, 1270.0f);
    EXPECT_EQ(globalWubbix.delayLength, 1155);

    srandom(kUnitTopSeed);
    fWindow->InitializeSliders(false, true);
    EXPECT_EQ(globalWubbix.restlessness, 1.0f);

    // The same draw as the delay length still truncates below 22049.
    srandom(kUnitTopSeed);
    fWindow->InitializeSliders(true, false);
    EXPECT_EQ(globalWubbix.delayLength, 22048);
}

TEST_F(InitializeSlidersTest, MessageWithoutFieldsRollsOnlyDriftSettings)
{
    auto u = Draws<6>(kSeed);
    Deliver(BMessage(INIT_SLIDERS), kSeed);

    ExpectDriftSettings(&u[0]);
    ExpectMainsUntouched();
    EXPECT_EQ(globalWubbix.restlessness, -9.0f);
}

TEST_F(InitializeSlidersTest, MainsSetToFalseStillCounts)
{
    auto u = Draws<9>(kSeed);
    BMessage message(INIT_SLIDERS);
    ASSERT_EQ(message.AddBool("mains", false), B_OK);
    Deliver(message, kSeed);

    EXPECT_EQ(globalWubbix.delayLength, static_cast<int32>(u[0] * 22049.0));
    EXPECT_EQ(globalWubbix.frequency, static_cast<float>(u[1] * 1270.0));
    EXPECT_EQ(globalWubbix.feedback, static_cast<float>(u[2]));
    ExpectDriftSettings(&u[3]);
}

TEST_F(InitializeSlidersTest, DeltaOfAnotherTypeStillCounts)
{
    auto u = Draws<7>(kSeed);
    BMessage message(INIT_SLIDERS);
    ASSERT_EQ(message.AddInt32("delta", 0), B_OK);
    Deliver(message, kSeed);

    EXPECT_EQ(globalWubbix.restlessness, static_cast<float>(u[0]));
    ExpectMainsUntouched();
    ExpectDriftSettings(&u[1]);
}

TEST_F(InitializeSlidersTest, OtherMessagesChangeNothing)
{
    auto before = Snapshot();
    for (uint32 what : {UPDATE_SLIDERS, LAUNCH_NOTE, FourCC("INSL"), uint32 {0}}) {
        BMessage message(what);
        ASSERT_EQ(message.AddBool("mains", true), B_OK);
        ASSERT_EQ(message.AddBool("delta", true), B_OK);
        Deliver(message, kSeed);
    }
    EXPECT_EQ(Snapshot(), before);
}

} // namespace
