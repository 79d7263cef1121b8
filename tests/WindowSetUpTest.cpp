// Setting up, running by hand and closing an instance window that is never
// shown, with the sound going to SDL's dummy output.

#include "Application.h"
#include "Autolock.h"
#include "ParameterBlock.h"
#include "ParametersPrinter.h"
#include "VoiceModel.h"
#include "WindowList.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace {

TEST(WindowSetUp, SetUpRollsEveryParameterFromTheSeedAndCentresTheVoice)
{
    gondavel_wubbixWindow window(BPoint(10, 20), 20, 20, "test");
    window.InitSilent(12345);

    EXPECT_EQ(window.PulseRate(), 100000);
    EXPECT_FALSE(window.IsLocked());
    EXPECT_TRUE(window.IsHidden());
    // After the view's first colours: the restlessness, the mains, the six
    // drift settings, the waveform and the sweep's pace.
    VoiceModel::Parameters expected { .delayLength = 1052, .waveform = WAVE_SINE, .frequency = 407.712158f, .feedback = 0.272733688f, .feedbackDriftScale = 0.0441157296f, .feedbackDriftChance = 0.343920082f, .frequencyDriftScale = 0.219656959f, .delayDriftScale = 0.367736816f, .frequencyDriftChance = 0.201737538f, .delayDriftChance = 0.22236672f, .restlessness = 0.275665492f, .pan = 0.5f, .leftGain = 0.707106769f, .rightGain = 0.707106769f, .restlessnessStep = 0.000373660238f };
    EXPECT_EQ(window.Voice().Save().parameters, expected);
}

TEST(WindowSetUp, ReducedAnimationTakesNothingFromTheVoicesDraws)
{
    // Thirty seconds of pulses by hand, each followed by a turn without one,
    // as a shown window takes them: the same parameters pulse by pulse with
    // the setting on and off, and the same generator at the end.
    std::vector<VoiceModel::State> states[2];
    for (int reduced : { 1, 0 }) {
        setenv("GW_REDUCED_MOTION", reduced ? "1" : "0", 1);
        gondavel_wubbixWindow window(BPoint(0, 0), 20, 20, "by hand");
        window.InitSilent(7);
        window.TakeTurn(false);
        for (int pulse = 0; pulse < 300; pulse++) {
            window.TakeTurn(true);
            window.TakeTurn(false);
            states[reduced].push_back(window.Voice().Save());
        }
    }
    unsetenv("GW_REDUCED_MOTION");
    for (int pulse = 0; pulse < 300; pulse++)
        ASSERT_EQ(states[1][pulse].parameters, states[0][pulse].parameters) << "pulse " << pulse;
    EXPECT_TRUE(states[1].back() == states[0].back());
    // As a window of seed 7 has always drifted.
    EXPECT_EQ(states[1].back().parameters.frequency, 1126.48181f);
    EXPECT_EQ(states[1].back().random.words[states[1].back().random.front], 2226235031u);
}

TEST(WindowSetUp, QuitRequestedAgreesWithoutAnApplication)
{
    ASSERT_EQ(be_app, nullptr);
    gondavel_wubbixWindow window(BPoint(10, 20), 20, 20, "test");
    EXPECT_TRUE(window.QuitRequested());
    window.Init();
    EXPECT_TRUE(window.QuitRequested());
}

TEST(WindowSetUp, AWindowLockedBeforeItIsShownOutlivesAQuitThatComesFirst)
{
    // As the application shows and sets up its window. With no display the
    // window's thread asks to quit at once, and a quit request waits too;
    // under the lock, neither can end the window before Init() is done.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    auto* window = new gondavel_wubbixWindow(BPoint(10, 20), 20, 20, "test");
    window->PostMessage(B_QUIT_REQUESTED);
    {
        BAutolock lock(window);
        window->Show();
        // Time enough for the window's thread to have ended, were it free to.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        window->Init();
        EXPECT_EQ(window->PulseRate(), 100000);
    }
    // Then the quit goes through.
    EXPECT_TRUE(WindowList::QuitAll());
}

} // namespace
