// A window that is never shown touches no display: it can be built, given
// views, sent hook calls directly and ended, all on the test's thread.

#include "View.h"
#include "Window.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Traces {
    int messages = 0;
    int attached = 0;
    bool windowGone = false;
    bool viewGone = false;
    // Hook calls in order: P for a pulse, D for a draw, M for a message.
    std::string calls;
};

class TracedView : public BView {
public:
    TracedView(Traces* traces)
        : BView(BRect(0, 0, 20, 20), "traced", B_FOLLOW_ALL, B_WILL_DRAW | B_PULSE_NEEDED),
          fTraces(traces) {}
    ~TracedView() override { fTraces->viewGone = true; }
    void AttachedToWindow() override { fTraces->attached++; }
    // Each pulse asks for a redraw and posts a message.
    void Pulse() override
    {
        fTraces->calls += 'P';
        Invalidate();
        Window()->PostMessage(FourCC("TEST"));
    }
    void Draw(BRect) override
    {
        fTraces->calls += 'D';
        MovePenTo(BPoint(1, 2));
        DrawString("nothing to draw on");
        if (PenLocation() != BPoint(1, 2))
            fTraces->calls += '?';
    }

private:
    Traces* fTraces;
};

class TracedWindow : public BWindow {
public:
    TracedWindow(Traces* traces)
        : BWindow(BRect(501.5, 10, 521.5, 30), "traced", B_BORDERED_WINDOW, B_NOT_RESIZABLE),
          fTraces(traces) {}
    ~TracedWindow() override { fTraces->windowGone = true; }
    void MessageReceived(BMessage*) override
    {
        fTraces->messages++;
        fTraces->calls += 'M';
    }

private:
    Traces* fTraces;
};

} // namespace

TEST(UnshownWindow, KeepsItsFrameAndTakesHookCallsDirectly)
{
    Traces traces;
    auto* window = new TracedWindow(&traces);
    EXPECT_EQ(window->Frame(), BRect(501.5, 10, 521.5, 30));
    EXPECT_EQ(window->Bounds(), BRect(0, 0, 20, 20));
    EXPECT_STREQ(window->Title(), "traced");
    EXPECT_TRUE(window->IsHidden());
    BMessage message(FourCC("TEST"));
    window->MessageReceived(&message);
    EXPECT_EQ(traces.messages, 1);
    window->Quit();
    EXPECT_TRUE(traces.windowGone);
}

// As a shown window's thread would: the new view drawn, then per pulse
// the pulse and the redraw it asked for, and the message it posted on the
// next turn.
TEST(UnshownWindow, RunByHandTakesTurnsInTheOrderOfAShownWindow)
{
    Traces traces;
    auto* window = new TracedWindow(&traces);
    auto* view = new TracedView(&traces);
    window->AddChild(view);
    for (bool pulse : { false, true, false, true, false })
        window->TakeTurn(pulse);
    EXPECT_EQ(traces.calls, "DPDMPDM");
    window->Quit();
}

TEST(UnshownWindow, OwnsItsViewsAndDeletesThemAfterItsSubclass)
{
    Traces traces;
    auto* window = new TracedWindow(&traces);
    auto* view = new TracedView(&traces);
    EXPECT_EQ(view->Window(), nullptr);
    EXPECT_FALSE(view->LockLooper());
    window->AddChild(view);
    EXPECT_EQ(traces.attached, 1);
    EXPECT_EQ(view->Window(), window);
    ASSERT_TRUE(view->LockLooper());
    EXPECT_TRUE(window->IsLocked());
    view->UnlockLooper();
    EXPECT_FALSE(window->IsLocked());
    window->Lock();
    window->Quit();
    EXPECT_TRUE(traces.windowGone);
    EXPECT_TRUE(traces.viewGone);
}

TEST(UnshownWindow, PulseRateDefaultsToHalfASecondAndCanBeChanged)
{
    Traces traces;
    auto* window = new TracedWindow(&traces);
    EXPECT_EQ(window->PulseRate(), 500000);
    window->SetPulseRate(100000);
    EXPECT_EQ(window->PulseRate(), 100000);
    window->Quit();
}

TEST(ViewColors, StartAsThePlatformDefaults)
{
    Traces traces;
    TracedView view(&traces);
    EXPECT_EQ(view.ViewColor(), (rgb_color { 216, 216, 216, 255 }));
    EXPECT_EQ(view.LowColor(), (rgb_color { 216, 216, 216, 255 }));
    EXPECT_EQ(view.HighColor(), (rgb_color { 0, 0, 0, 255 }));
    view.MovePenTo(BPoint(3, 14));
    EXPECT_EQ(view.PenLocation(), BPoint(3, 14));
}
