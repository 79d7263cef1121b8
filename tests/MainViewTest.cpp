// The view's colours, word places and pulse, drawing from the voice model it
// is built with, against the C library's generator seeded by the test. The
// view sits in a window that is never shown, so no display is involved and
// what a pulse posts stays queued.

#include "Message.h"
#include "MessageCodes.h"
#include "ParameterBlock.h"
#include "VoiceModel.h"
#include "Window.h"
#include "mainView.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

void PrintTo(const rgb_color& color, std::ostream* out)
{
    *out << "(" << int(color.red) << ", " << int(color.green) << ", " << int(color.blue) << ", "
         << int(color.alpha) << ")";
}

namespace {

constexpr unsigned kViewSeed = 12345;
// After srandom(12822), with every walk taken: the pan test passes, and the
// frequency step is followed by six draws for the colours.
constexpr unsigned kRiseSeed = 12822;
// After srandom(2), with no walk but the pan's and full restlessness: a roll
// with the mains.
constexpr unsigned kMainsSeed = 2;

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

// A window whose queue the test can read.
class ProbeWindow : public BWindow {
public:
    ProbeWindow() : BWindow(BRect(0, 0, 20, 20), "probe", B_BORDERED_WINDOW, 0) {}
    using BLooper::TakeNextMessage;
};

class MainViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        fWindow = std::make_unique<ProbeWindow>();
        fView = new mainView(BRect(0, 0, 20, 20), "view", fVoice);
        fWindow->AddChild(fView);
    }

    // What was posted, each message as "init" or "update", "+mains" when it
    // holds a true "mains", "+more" when it holds any other field.
    std::string Posted()
    {
        std::string posted;
        BMessage message;
        while (fWindow->TakeNextMessage(&message)) {
            bool mains = false;
            posted += message.what == INIT_SLIDERS ? " init"
                : message.what == UPDATE_SLIDERS   ? " update"
                                                   : " other";
            if (message.FindBool("mains", &mains) == B_OK && mains)
                posted += "+mains";
            if (message.CountNames() != (mains ? 1 : 0))
                posted += "+more";
        }
        return posted;
    }

    void ExpectColorsApplied(rgb_color back, rgb_color text)
    {
        EXPECT_EQ(fView->BackColor(), back);
        EXPECT_EQ(fView->TextColor(), text);
        EXPECT_EQ(fView->ViewColor(), back);
        EXPECT_EQ(fView->LowColor(), back);
        EXPECT_EQ(fView->HighColor(), text);
    }

    ParameterBlock fBlock;
    VoiceModel fVoice { fBlock };
    std::unique_ptr<ProbeWindow> fWindow;
    mainView* fView = nullptr;
};

TEST(MainView, NewColorsTakesSixBytesBelow255AndOutsideAWindowOnlyKeepsThem)
{
    ParameterBlock block;
    VoiceModel voice(block);
    mainView view(BRect(0, 0, 20, 20), "view", voice);
    for (unsigned seed = 1; seed <= 300; seed++) {
        auto d = Draws(seed, 6);
        voice.Seed(seed);
        view.NewColors();
        rgb_color back = view.BackColor();
        rgb_color text = view.TextColor();
        for (uint8 byte : { back.red, back.green, back.blue, text.red, text.green, text.blue })
            ASSERT_LE(byte, 254) << "seed " << seed;
        ASSERT_EQ(back, (rgb_color { uint8(d[0] % 255), uint8(d[1] % 255), uint8(d[2] % 255), 255 }));
        ASSERT_EQ(text, (rgb_color { uint8(d[3] % 255), uint8(d[4] % 255), uint8(d[5] % 255), 255 }));
    }
    EXPECT_EQ(view.ViewColor(), kDefaultViewColor);
    EXPECT_EQ(view.LowColor(), kDefaultViewColor);
    EXPECT_EQ(view.HighColor(), kBlack);
}

TEST(MainView, DrawPutsBothBaselinesWithinAWidthLeftOfTheView)
{
    ParameterBlock block;
    VoiceModel voice(block);
    mainView view(BRect(0, 0, 20, 20), "view", voice);
    float width = view.StringWidth("wubbix");
    for (unsigned seed = 1; seed <= 100; seed++) {
        auto d = Draws(seed, 5);
        voice.Seed(seed);
        view.Draw(view.Bounds());
        // The pen ends past the second word.
        BPoint pen = view.PenLocation();
        EXPECT_GE(pen.x - width, -20.0f);
        EXPECT_LE(pen.x - width, 19.0f);
        EXPECT_GE(pen.y, 0.0f);
        EXPECT_LE(pen.y, 19.0f);
        EXPECT_EQ(voice.Random().Next(), d[4]) << "four draws";
    }

    // No baseline fits in a view without width: nothing is drawn, no draw taken.
    mainView empty(BRect(0, 0, 0, 0), "empty", voice);
    auto d = Draws(kViewSeed, 1);
    voice.Seed(kViewSeed);
    empty.Draw(empty.Bounds());
    EXPECT_EQ(voice.Random().Next(), d[0]);
}

TEST_F(MainViewTest, PulseAppliesAPitchStepsColorsAndPostsAnAskedRollBeforeTheUpdate)
{
    // Every walk taken and full restlessness: new colours, and a roll without
    // the mains.
    for (RelaxedField<float>* chance :
        { &fBlock.frequencyDriftChance, &fBlock.feedbackDriftChance, &fBlock.delayDriftChance })
        *chance = 1.0f;
    fBlock.restlessness = 1.0f;
    fVoice.Seed(kRiseSeed);
    fView->Pulse();
    ExpectColorsApplied({ 226, 133, 78, 255 }, { 253, 218, 19, 255 });
    EXPECT_EQ(Posted(), " init update");

    // No pitch step: the colours stay.
    for (RelaxedField<float>* chance :
        { &fBlock.frequencyDriftChance, &fBlock.feedbackDriftChance, &fBlock.delayDriftChance })
        *chance = 0.0f;
    fVoice.Seed(kMainsSeed);
    fView->Pulse();
    EXPECT_EQ(fView->BackColor(), (rgb_color { 226, 133, 78, 255 }));
    EXPECT_EQ(Posted(), " init+mains update+mains");

    fBlock.restlessness = 0.0f;
    fView->Pulse();
    EXPECT_EQ(Posted(), " update");
}

} // namespace
