// The voice's model on a parameter block of the test's own: its rolls, the
// walks and restlessness of a pulse, saving and restoring, and its
// generator, against the C library's generator seeded by the test.

#include "ParameterBlock.h"
#include "ParametersPrinter.h"
#include "RandomSource.h"
#include "VoiceModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

constexpr unsigned kSeed = 12345;
// After srandom(12822), with every walk taken and six draws for the new
// colours: the pan test passes and the pan, feedback and delay steps are all
// at least nine tenths of their top.
constexpr unsigned kRiseSeed = 12822;
// After srandom(2329), likewise: the pan test passes and the pan, frequency,
// feedback and delay steps are all in their lowest tenth.
constexpr unsigned kFallSeed = 2329;
// The third draw after srandom(4468975) is 2^31 - 63: as the frequency it
// rounds to 1270 exactly.
constexpr unsigned kFrequencyTopSeed = 4468975;
// The first draw after srandom(22100322) is 2^31 - 12: stored directly it
// rounds to 1.0.
constexpr unsigned kUnitTopSeed = 22100322;

// The next `count` draws after seeding the C library's generator with `seed`.
std::vector<long> Draws(unsigned seed, int count)
{
    srandom(seed);
    std::vector<long> draws(count);
    for (long& draw : draws)
        draw = random();
    return draws;
}

double Uniform(long draw)
{
    return static_cast<double>(draw) * 4.656612873077393e-10;
}

class VoiceModelTest : public testing::Test {
protected:
    void SetUp() override { SetQuietState(); }

    // Mid-range values, no walk but the pan's, and no restlessness.
    void SetQuietState()
    {
        fBlock.delayLength = 10000;
        fBlock.waveform = WAVE_SINE;
        fBlock.frequency = 600;
        fBlock.feedback = 0.5f;
        fBlock.pan = 0.5f;
        fBlock.leftGain = std::sqrt(0.5f);
        fBlock.rightGain = std::sqrt(0.5f);
        SetDrift(0.5f, 0.0f);
        fBlock.restlessness = 0.0f;
        fBlock.restlessnessStep = 0.001f;
    }

    void SetDrift(float scale, float chance)
    {
        fBlock.frequencyDriftScale = scale;
        fBlock.feedbackDriftScale = scale;
        fBlock.delayDriftScale = scale;
        fBlock.frequencyDriftChance = chance;
        fBlock.feedbackDriftChance = chance;
        fBlock.delayDriftChance = chance;
    }

    // A pulse from `seed`; a pitch step takes six draws, as the picture's
    // new colours do.
    VoiceModel::Reroll Pulse(unsigned seed)
    {
        fModel.Seed(seed);
        return fModel.Pulse([this] {
            fPitchSteps++;
            for (int i = 0; i < 6; i++)
                fModel.Random().Next();
        });
    }

    ParameterBlock fBlock;
    VoiceModel fModel { fBlock };
    int fPitchSteps = 0;
};

TEST(RandomSource, DrawsAsTheCLibraryDoesAndRestoresOnlyReachableStates)
{
    for (unsigned seed : { 0u, 1u, 2u, 12345u, 2147483648u, 4294967295u }) {
        RandomSource source(seed);
        srandom(seed);
        for (int i = 0; i < 100000; i++)
            ASSERT_EQ(source.Next(), random()) << "seed " << seed << ", draw " << i;
    }

    // After 29 draws the front has wrapped round to word 1, the rear is at 29.
    RandomSource source(kSeed);
    for (int i = 0; i < 29; i++)
        source.Next();
    RandomSource::State saved = source.Save();
    RandomSource copy;
    ASSERT_TRUE(copy.Restore(saved));
    EXPECT_EQ(copy.Save(), saved);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(copy.Next(), source.Next());

    saved = copy.Save();
    for (auto [front, rear] : std::initializer_list<std::pair<int, int>> {
             { 0, 0 }, { 4, 0 }, { 0, 3 }, { 31, 28 }, { 3, 31 } }) {
        RandomSource::State bad = source.Save();
        bad.front = static_cast<uint8>(front);
        bad.rear = static_cast<uint8>(rear);
        EXPECT_FALSE(copy.Restore(bad)) << front << ", " << rear;
        EXPECT_EQ(copy.Save(), saved);
    }
}

TEST_F(VoiceModelTest, RollDrawsTheRestlessnessThenTheMainsThenTheSixDriftSettings)
{
    for (bool mains : { false, true }) {
        for (bool delta : { false, true }) {
            // A seed per case, so a field rolled from the wrong draw shows.
            unsigned seed = kSeed + 2 * mains + delta;
            auto d = Draws(seed, 11);
            VoiceModel::Parameters expected = fModel.Save().parameters;
            size_t i = 0;
            auto next = [&] { return Uniform(d[i++]); };
            if (delta)
                expected.restlessness = static_cast<float>(next());
            if (mains) {
                expected.delayLength = static_cast<int32>(next() * 22049.0);
                expected.frequency = static_cast<float>(next() * 1270.0);
                expected.feedback = static_cast<float>(next());
            }
            for (float* field : { &expected.delayDriftScale, &expected.delayDriftChance,
                     &expected.frequencyDriftScale, &expected.frequencyDriftChance,
                     &expected.feedbackDriftScale, &expected.feedbackDriftChance })
                *field = static_cast<float>(next());
            fModel.Seed(seed);
            fModel.Roll(mains, delta);
            EXPECT_EQ(fModel.Save().parameters, expected) << "mains " << mains << ", delta " << delta;
            EXPECT_EQ(fModel.Random().Next(), d[i]);
        }
    }
}

TEST_F(VoiceModelTest, TopDrawsRoundToTheFullRange)
{
    fModel.Seed(kFrequencyTopSeed);
    fModel.Roll(true, true);
    EXPECT_EQ(fBlock.frequency, 1270.0f);
    EXPECT_EQ(fBlock.delayLength, 1155);

    fModel.Seed(kUnitTopSeed);
    fModel.Roll(false, true);
    EXPECT_EQ(fBlock.restlessness, 1.0f);

    // The same draw as the delay length still truncates below 22049.
    fModel.Seed(kUnitTopSeed);
    fModel.Roll(true, false);
    EXPECT_EQ(fBlock.delayLength, 22048);

    // The character: a coin for the waveform, then the sweep's pace.
    fModel.Seed(5);
    fModel.RollCharacter();
    EXPECT_EQ(fBlock.waveform, WAVE_RAMP);
    EXPECT_EQ(fBlock.restlessnessStep, 0.000116169409f);
}

TEST_F(VoiceModelTest, QuietPulseMovesOnlyPanAndRestlessnessAndAsksForNothing)
{
    for (unsigned seed = 1; seed <= 20; seed++) {
        SetQuietState();
        VoiceModel::Parameters expected = fModel.Save().parameters;
        auto d = Draws(seed, 7);
        VoiceModel::Reroll reroll = Pulse(seed);

        bool panMoves = Uniform(d[0]) > 0.5;
        if (panMoves)
            expected.pan += static_cast<float>(static_cast<double>(d[1]) * 0x1p-33 - 0.125);
        expected.rightGain = std::sqrt(expected.pan);
        expected.leftGain = std::sqrt(1.0f - expected.pan);
        // The first pulse turns the restlessness at zero; the rest go up.
        expected.restlessness = seed == 1 ? -0.001f : 0.001f;
        EXPECT_EQ(fModel.Save().parameters, expected) << "seed " << seed;
        EXPECT_FALSE(reroll.asked);
        EXPECT_EQ(fModel.Random().Next(), d[panMoves ? 6 : 5]) << "a test for each walk and the roll";
    }
    EXPECT_EQ(fPitchSteps, 0);
}

TEST_F(VoiceModelTest, EveryWalkStepsFromTheDrawAfterItsTest)
{
    // Draws: pan test and step, frequency test and step, six colour bytes,
    // feedback test and step, delay test and step, roll test.
    auto d = Draws(kRiseSeed, 16);
    ASSERT_GT(Uniform(d[0]), 0.5);
    float panStep = static_cast<float>(static_cast<double>(d[1]) * 0x1p-33 - 0.125);
    float frequencyStep = static_cast<float>(static_cast<double>(d[3]) / 21474836.48 - 50.0);
    double feedbackStep = static_cast<double>(d[11]) * 0x1p-33 - 0.125;
    float delayStep = static_cast<float>(static_cast<double>(d[13]) / 214748.3648 - 5000.0);

    SetDrift(0.5f, 1.0f);
    // A large scale, with the feedback set to land near 0.5, shows whether the
    // feedback step goes in unrounded.
    fBlock.feedbackDriftScale = 1024.0f;
    float feedback = 0.5f - static_cast<float>(feedbackStep * 1024.0);
    fBlock.feedback = feedback;
    Pulse(kRiseSeed);

    EXPECT_EQ(fBlock.pan, 0.5f + panStep);
    EXPECT_EQ(fBlock.frequency, frequencyStep * 0.5f + 600.0f);
    EXPECT_EQ(fBlock.feedback, static_cast<float>(feedbackStep * 1024.0 + feedback));
    EXPECT_EQ(fBlock.delayLength, static_cast<int32>(delayStep * 0.5f + 10000.0f));
    EXPECT_EQ(fPitchSteps, 1);
    EXPECT_EQ(fModel.Random().Next(), d[15]);
}

TEST_F(VoiceModelTest, WalksStopAtZeroAndTheTopButFrequencyHasNoTop)
{
    SetDrift(1.0f, 1.0f);
    fBlock.pan = 0.99f;
    fBlock.frequency = 1269.0f;
    fBlock.feedback = 0.95f;
    fBlock.delayLength = 22000;
    Pulse(kRiseSeed);
    EXPECT_EQ(fBlock.pan, 1.0f);
    EXPECT_EQ(fBlock.rightGain, 1.0f);
    EXPECT_EQ(fBlock.leftGain, 0.0f);
    EXPECT_EQ(fBlock.frequency, 1309.27515f);
    EXPECT_EQ(fBlock.feedback, 1.0f);
    EXPECT_EQ(fBlock.delayLength, 22049);

    fBlock.pan = 0.05f;
    fBlock.frequency = 10.0f;
    fBlock.feedback = 0.05f;
    fBlock.delayLength = 100;
    Pulse(kFallSeed);
    EXPECT_EQ(fBlock.pan, 0.0f);
    EXPECT_EQ(fBlock.rightGain, 0.0f);
    EXPECT_EQ(fBlock.leftGain, 1.0f);
    EXPECT_EQ(fBlock.frequency, 0.0f);
    EXPECT_EQ(fBlock.feedback, 0.0f);
    EXPECT_EQ(fBlock.delayLength, 0);
    EXPECT_EQ(fPitchSteps, 2) << "a step down to zero is a pitch step too";
}

TEST_F(VoiceModelTest, RestlessnessSquaredIsTheChanceOfARollAndACoinAddsTheMains)
{
    int rolls = 0;
    int withMains = 0;
    for (float restlessness : { 1.0f, 0.5f }) {
        for (unsigned seed = 1; seed <= 40; seed++) {
            SetQuietState();
            fBlock.restlessness = restlessness;
            fBlock.restlessnessStep = 0.0f;
            auto d = Draws(seed, 8);
            VoiceModel::Reroll reroll = Pulse(seed);

            // The roll's test follows the pan test (and step) and three walk tests.
            int test = Uniform(d[0]) > 0.5 ? 5 : 4;
            bool roll = restlessness * restlessness > Uniform(d[test]);
            bool mains = roll && Uniform(d[test + 1]) > 0.5;
            rolls += roll;
            withMains += mains;
            EXPECT_EQ(reroll.asked, roll) << "seed " << seed;
            EXPECT_EQ(reroll.mains, mains) << "seed " << seed;
            EXPECT_EQ(fModel.Random().Next(), d[test + (roll ? 2 : 1)]);
        }
        if (restlessness == 1.0f) {
            EXPECT_EQ(rolls, 40) << "full restlessness rolls on every pulse";
        }
    }
    EXPECT_GT(rolls, 40);
    EXPECT_LT(rolls, 80);
    EXPECT_GT(withMains, 0);
    EXPECT_LT(withMains, rolls);
}

TEST_F(VoiceModelTest, RestlessnessStartsDownwardsAndTurnsOnceItLeavesTheRange)
{
    // Zero and one are still in range; past them, unclamped, it turns.
    fBlock.restlessness = 0.25f;
    fBlock.restlessnessStep = 0.25f;
    for (float expected : { 0.0f, -0.25f, 0.0f }) {
        Pulse(kSeed);
        EXPECT_EQ(fBlock.restlessness, expected);
    }

    // Each model has a direction of its own.
    VoiceModel other(fBlock);
    fBlock.restlessness = 0.5f;
    other.Pulse([] {});
    EXPECT_EQ(fBlock.restlessness, 0.25f);

    fBlock.restlessness = 0.75f;
    for (float expected : { 1.0f, 1.25f, 1.0f }) {
        Pulse(kSeed);
        EXPECT_EQ(fBlock.restlessness, expected);
    }
}

TEST_F(VoiceModelTest, ARestoredModelGoesOnAsTheSavedOneAndNoBadStateIsTakenIn)
{
    fModel.Seed(kSeed);
    fModel.Roll(true, true);
    // Two pulses turn the restlessness upwards.
    fBlock.restlessness = 0.1f;
    fBlock.restlessnessStep = 0.25f;
    fModel.Pulse([] {});
    fModel.Pulse([] {});
    VoiceModel::State saved = fModel.Save();
    ASSERT_EQ(saved.direction, 1);

    ParameterBlock otherBlock;
    VoiceModel other(otherBlock);
    ASSERT_TRUE(other.Restore(saved));
    EXPECT_EQ(other.Save().parameters, saved.parameters);
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(other.Pulse([] {}).asked, fModel.Pulse([] {}).asked);
        ASSERT_EQ(other.Save().parameters, fModel.Save().parameters) << "pulse " << i;
        ASSERT_TRUE(other.Save() == fModel.Save()) << "pulse " << i;
    }

    VoiceModel::State before = other.Save();
    VoiceModel::State bad[] = { saved, saved, saved, saved, saved, saved };
    bad[0].direction = 0;
    bad[1].direction = -2;
    bad[2].parameters.waveform = 2;
    bad[3].parameters.delayLength = -1;
    bad[4].parameters.delayLength = 22050;
    bad[5].random.rear = bad[5].random.front;
    for (const VoiceModel::State& state : bad) {
        EXPECT_FALSE(other.Restore(state));
        EXPECT_TRUE(other.Save() == before);
    }
}

} // namespace
