// Setting up and closing an instance window that is never shown: the
// parameters are rolled from a seed of the clock, so only their ranges are
// checked, and the sound goes to SDL's dummy output.

#include "Application.h"
#include "Autolock.h"
#include "ParameterBlock.h"
#include "WindowList.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <thread>

namespace {

void ExpectUnit(float value, const char* name)
{
    EXPECT_GE(value, 0.0f) << name;
    EXPECT_LE(value, 1.0f) << name;
}

TEST(WindowSetUp, InitRollsEveryParameterAndCentresTheVoice)
{
    for (int round = 0; round < 3; round++) {
        // Values no set-up produces.
        ParameterBlock& p = globalWubbix;
        p.waveform = 7;
        p.pan = -1.0f;
        p.restlessnessStep = -1.0f;
        p.delayLength = -1;
        for (RelaxedField<float>* field : {&p.frequency, &p.feedback, &p.restlessness,
                 &p.feedbackDriftScale, &p.feedbackDriftChance, &p.frequencyDriftScale,
                 &p.frequencyDriftChance, &p.delayDriftScale, &p.delayDriftChance})
            *field = -1.0f;

        gondavel_wubbixWindow window(BPoint(10, 20), 20, 20, "test");
        window.Init();

        EXPECT_EQ(window.PulseRate(), 100000);
        EXPECT_FALSE(window.IsLocked());
        EXPECT_TRUE(window.IsHidden());
        EXPECT_TRUE(p.waveform == WAVE_SINE || p.waveform == WAVE_RAMP) << p.waveform;
        EXPECT_GE(p.restlessnessStep, 0.0f);
        EXPECT_LT(p.restlessnessStep, 0.0025);
        EXPECT_EQ(p.pan, 0.5f);
        EXPECT_EQ(p.rightGain, std::sqrt(0.5f));
        EXPECT_EQ(p.leftGain, std::sqrt(0.5f));
        EXPECT_GE(p.delayLength, 0);
        EXPECT_LE(p.delayLength, 22048);
        EXPECT_GE(p.frequency, 0.0f);
        EXPECT_LE(p.frequency, 1270.0f);
        ExpectUnit(p.feedback, "feedback");
        ExpectUnit(p.restlessness, "restlessness");
        ExpectUnit(p.feedbackDriftScale, "feedbackDriftScale");
        ExpectUnit(p.feedbackDriftChance, "feedbackDriftChance");
        ExpectUnit(p.frequencyDriftScale, "frequencyDriftScale");
        ExpectUnit(p.frequencyDriftChance, "frequencyDriftChance");
        ExpectUnit(p.delayDriftScale, "delayDriftScale");
        ExpectUnit(p.delayDriftChance, "delayDriftChance");
    }
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
    WindowList::QuitAll();
}

} // namespace
