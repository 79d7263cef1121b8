// The view's colours, drawing positions and pulse drift, against the C
// library's generator seeded by the test. The view sits in a window that is
// never shown, so no display is involved and what a pulse posts stays queued.

#include "Message.h"
#include "MessageCodes.h"
#include "ParameterBlock.h"
#include "Window.h"
#include "mainView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <vector>

void PrintTo(const rgb_color& color, std::ostream* out)
{
    *out << "(" << int(color.red) << ", " << int(color.green) << ", " << int(color.blue) << ", "
         << int(color.alpha) << ")";
}

namespace {

constexpr unsigned kSeed = 12345;
// After srandom(12822), with every walk taken: the pan test passes and the
// pan, feedback and delay steps are all at least nine tenths of their top.
constexpr unsigned kRiseSeed = 12822;
// After srandom(2329), with every walk taken: the pan test passes and the
// pan, frequency, feedback and delay steps are all in their lowest tenth.
constexpr unsigned kFallSeed = 2329;

constexpr rgb_color kDefaultViewColor { 216, 216, 216, 255 };
constexpr rgb_color kBlack { 0, 0, 0, 255 };

// The next `count` draws after seeding the generator with `seed`.
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

// A window whose queue the test can read.
class ProbeWindow : public BWindow {
public:
    ProbeWindow() : BWindow(BRect(0, 0, 20, 20), "probe", B_BORDERED_WINDOW, 0) {}
    using BLooper::TakeNextMessage;
};

class PulseTest : public testing::Test {
protected:
    void SetUp() override
    {
        fWindow = std::make_unique<ProbeWindow>();
        fView = new mainView(BRect(0, 0, 20, 20), "view");
        fWindow->AddChild(fView);
        SetQuietState();
    }

    // Mid-range values, no walk but the pan's, and no restlessness.
    void SetQuietState()
    {
        ParameterBlock& p = globalWubbix;
        p.delayLength = 10000;
        p.waveform = WAVE_SINE;
        p.frequency = 600;
        p.feedback = 0.5f;
        p.pan = 0.5f;
        p.leftGain = std::sqrt(0.5f);
        p.rightGain = std::sqrt(0.5f);
        SetDrift(0.5f, 0.0f);
        p.restlessness = 0.0f;
        p.restlessnessStep = 0.001f;
    }

    void SetDrift(float scale, float chance)
    {
        ParameterBlock& p = globalWubbix;
        p.frequencyDriftScale = scale;
        p.feedbackDriftScale = scale;
        p.delayDriftScale = scale;
        p.frequencyDriftChance = chance;
        p.feedbackDriftChance = chance;
        p.delayDriftChance = chance;
    }

    void Pulse(unsigned seed)
    {
        srandom(seed);
        fView->Pulse();
    }

    std::vector<BMessage> Posted()
    {
        std::vector<BMessage> messages;
        BMessage message;
        while (fWindow->TakeNextMessage(&message))
            messages.push_back(message);
        return messages;
    }

    // The restlessness direction lives for the whole process, so the tests
    // learn it from one pulse and turn it where they need it.
    void TurnRestlessnessTo(int direction)
    {
        ParameterBlock& p = globalWubbix;
        p.restlessness = 0.5f;
        p.restlessnessStep = 0.25f;
        Pulse(kSeed);
        int learned = p.restlessness > 0.5f ? 1 : -1;
        if (learned != direction) {
            // 0.5 -/+ 0.75 leaves the range and turns.
            p.restlessness = 0.5f;
            p.restlessnessStep = 0.75f;
            Pulse(kSeed);
        }
        Posted();
        SetQuietState();
    }

    void ExpectColorsApplied(rgb_color back, rgb_color text)
    {
        EXPECT_EQ(fView->BackColor(), back);
        EXPECT_EQ(fView->TextColor(), text);
        EXPECT_EQ(fView->ViewColor(), back);
        EXPECT_EQ(fView->LowColor(), back);
        EXPECT_EQ(fView->HighColor(), text);
    }

    std::unique_ptr<ProbeWindow> fWindow;
    mainView* fView = nullptr;
};

TEST(MainView, NewColorsTakesSixBytesBelow255AndOutsideAWindowOnlyKeepsThem)
{
    mainView view(BRect(0, 0, 20, 20), "view");
    for (unsigned seed = 1; seed <= 300; seed++) {
        auto d = Draws(seed, 6);
        srandom(seed);
        view.NewColors();
        rgb_color back = view.BackColor();
        rgb_color text = view.TextColor();
        for (uint8 byte : {back.red, back.green, back.blue, text.red, text.green, text.blue})
            ASSERT_LE(byte, 254) << "seed " << seed;
        ASSERT_EQ(back, (rgb_color {uint8(d[0] % 255), uint8(d[1] % 255), uint8(d[2] % 255), 255}));
        ASSERT_EQ(text, (rgb_color {uint8(d[3] % 255), uint8(d[4] % 255), uint8(d[5] % 255), 255}));
    }
    EXPECT_EQ(view.ViewColor(), kDefaultViewColor);
    EXPECT_EQ(view.LowColor(), kDefaultViewColor);
    EXPECT_EQ(view.HighColor(), kBlack);
}

TEST_F(PulseTest, NewColorsInAWindowAppliesThem)
{
    srandom(kSeed);
    fView->NewColors();
    ExpectColorsApplied(fView->BackColor(), fView->TextColor());
}

TEST(MainView, DrawPutsBothBaselinesWithinAWidthLeftOfTheView)
{
    mainView view(BRect(0, 0, 20, 20), "view");
    float width = view.StringWidth("wubbix");
    for (unsigned seed = 1; seed <= 100; seed++) {
        auto d = Draws(seed, 5);
        srandom(seed);
        view.Draw(view.Bounds());
        // The pen ends past the second word.
        BPoint pen = view.PenLocation();
        EXPECT_GE(pen.x - width, -20.0f);
        EXPECT_LE(pen.x - width, 19.0f);
        EXPECT_GE(pen.y, 0.0f);
        EXPECT_LE(pen.y, 19.0f);
        EXPECT_EQ(random(), d[4]) << "four draws";
    }

    // No baseline fits in a view without width: nothing is drawn, no draw taken.
    mainView empty(BRect(0, 0, 0, 0), "empty");
    auto d = Draws(kSeed, 1);
    srandom(kSeed);
    empty.Draw(empty.Bounds());
    EXPECT_EQ(random(), d[0]);
}

TEST_F(PulseTest, QuietPulseMovesOnlyPanAndRestlessnessAndPostsOneBareUpdate)
{
    const ParameterBlock& p = globalWubbix;
    for (unsigned seed = 1; seed <= 20; seed++) {
        SetQuietState();
        rgb_color back = fView->BackColor();
        auto d = Draws(seed, 7);
        Pulse(seed);

        bool panMoves = Uniform(d[0]) > 0.5;
        float pan = 0.5f;
        if (panMoves)
            pan += static_cast<float>(static_cast<double>(d[1]) * 0x1p-33 - 0.125);
        EXPECT_EQ(p.pan, pan) << "seed " << seed;
        EXPECT_EQ(p.rightGain, std::sqrt(pan));
        EXPECT_EQ(p.leftGain, std::sqrt(1.0f - pan));
        EXPECT_EQ(std::fabs(p.restlessness), 0.001f);
        EXPECT_EQ(random(), d[panMoves ? 6 : 5]) << "a test for each walk and the message";

        EXPECT_EQ(p.delayLength, 10000);
        EXPECT_EQ(p.frequency, 600.0f);
        EXPECT_EQ(p.feedback, 0.5f);
        EXPECT_EQ(p.waveform, WAVE_SINE);
        EXPECT_EQ(p.restlessnessStep, 0.001f);
        EXPECT_EQ(p.frequencyDriftScale, 0.5f);
        EXPECT_EQ(p.delayDriftChance, 0.0f);
        EXPECT_EQ(fView->BackColor(), back);

        auto posted = Posted();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].what, UPDATE_SLIDERS);
        EXPECT_TRUE(posted[0].IsEmpty());
    }
}

TEST_F(PulseTest, EveryWalkStepsFromTheDrawAfterItsTest)
{
    // Draws: pan test and step, frequency test and step, six colour bytes,
    // feedback test and step, delay test and step, message test.
    auto d = Draws(kRiseSeed, 16);
    ASSERT_GT(Uniform(d[0]), 0.5);
    float panStep = static_cast<float>(static_cast<double>(d[1]) * 0x1p-33 - 0.125);
    float frequencyStep = static_cast<float>(static_cast<double>(d[3]) / 21474836.48 - 50.0);
    double feedbackStep = static_cast<double>(d[11]) * 0x1p-33 - 0.125;
    float delayStep = static_cast<float>(static_cast<double>(d[13]) / 214748.3648 - 5000.0);

    ParameterBlock& p = globalWubbix;
    SetDrift(0.5f, 1.0f);
    // A large scale, with the feedback set to land near 0.5, shows whether the
    // feedback step goes in unrounded.
    p.feedbackDriftScale = 1024.0f;
    float feedback = 0.5f - static_cast<float>(feedbackStep * 1024.0);
    p.feedback = feedback;
    Pulse(kRiseSeed);

    EXPECT_EQ(p.pan, 0.5f + panStep);
    EXPECT_EQ(p.frequency, frequencyStep * 0.5f + 600.0f);
    EXPECT_EQ(p.feedback, static_cast<float>(feedbackStep * 1024.0 + feedback));
    EXPECT_EQ(p.delayLength, static_cast<int32>(delayStep * 0.5f + 10000.0f));
    EXPECT_EQ(fView->BackColor(), (rgb_color {226, 133, 78, 255}));
    EXPECT_EQ(random(), d[15]);
}

TEST_F(PulseTest, PanFeedbackAndDelayStopAtTheTopButFrequencyGoesOn)
{
    ParameterBlock& p = globalWubbix;
    SetDrift(1.0f, 1.0f);
    p.pan = 0.99f;
    p.frequency = 1269.0f;
    p.feedback = 0.95f;
    p.delayLength = 22000;
    Pulse(kRiseSeed);

    EXPECT_EQ(p.pan, 1.0f);
    EXPECT_EQ(p.rightGain, 1.0f);
    EXPECT_EQ(p.leftGain, 0.0f);
    EXPECT_EQ(p.frequency, 1309.27515f);
    EXPECT_EQ(p.feedback, 1.0f);
    EXPECT_EQ(p.delayLength, 22049);
    ExpectColorsApplied({226, 133, 78, 255}, {253, 218, 19, 255});
}

TEST_F(PulseTest, PanFrequencyFeedbackAndDelayStopAtZero)
{
    ParameterBlock& p = globalWubbix;
    SetDrift(1.0f, 1.0f);
    p.pan = 0.05f;
    p.frequency = 10.0f;
    p.feedback = 0.05f;
    p.delayLength = 100;
    Pulse(kFallSeed);

    EXPECT_EQ(p.pan, 0.0f);
    EXPECT_EQ(p.rightGain, 0.0f);
    EXPECT_EQ(p.leftGain, 1.0f);
    EXPECT_EQ(p.frequency, 0.0f);
    EXPECT_EQ(p.feedback, 0.0f);
    EXPECT_EQ(p.delayLength, 0);
    // The colours change with every frequency step, down to zero as well.
    ExpectColorsApplied({15, 28, 98, 255}, {56, 110, 91, 255});
}

TEST_F(PulseTest, RestlessnessSquaredIsTheChanceOfARollBeforeTheUpdate)
{
    int rolls = 0;
    int withMains = 0;
    for (float restlessness : {1.0f, 0.5f}) {
        for (unsigned seed = 1; seed <= 40; seed++) {
            SetQuietState();
            globalWubbix.restlessness = restlessness;
            globalWubbix.restlessnessStep = 0.0f;
            auto d = Draws(seed, 8);
            Pulse(seed);

            // The message test follows the pan test (and step) and three walk tests.
            int test = Uniform(d[0]) > 0.5 ? 5 : 4;
            bool roll = restlessness * restlessness > Uniform(d[test]);
            bool mains = roll && Uniform(d[test + 1]) > 0.5;
            rolls += roll;
            withMains += mains;
            auto posted = Posted();
            ASSERT_EQ(posted.size(), roll ? 2u : 1u) << "seed " << seed;
            EXPECT_EQ(posted.front().what, roll ? INIT_SLIDERS : UPDATE_SLIDERS);
            EXPECT_EQ(posted.back().what, UPDATE_SLIDERS);
            for (const BMessage& message : posted) {
                bool value = false;
                EXPECT_EQ(message.FindBool("mains", &value) == B_OK, mains);
                EXPECT_EQ(value, mains);
                EXPECT_EQ(message.CountNames(), mains ? 1 : 0);
            }
            EXPECT_EQ(random(), d[test + (roll ? 2 : 1)]);
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

TEST_F(PulseTest, RestlessnessTurnsOnceItLeavesTheRange)
{
    ParameterBlock& p = globalWubbix;
    TurnRestlessnessTo(+1);
    p.restlessness = 0.999f;
    p.restlessnessStep = 0.002f;
    Pulse(kSeed);
    EXPECT_FLOAT_EQ(p.restlessness, 1.001f) << "not clamped";
    Pulse(kSeed);
    EXPECT_FLOAT_EQ(p.restlessness, 0.999f);

    // Still going down.
    p.restlessness = 0.0005f;
    p.restlessnessStep = 0.001f;
    Pulse(kSeed);
    EXPECT_FLOAT_EQ(p.restlessness, -0.0005f);
    Pulse(kSeed);
    EXPECT_FLOAT_EQ(p.restlessness, 0.0005f);
}

} // namespace
