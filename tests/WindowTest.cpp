// A window that is never shown touches no display: it can be built, given
// views, sent hook calls directly and ended, all on the test's thread.

#include "View.h"
#include "Window.h"

#include <gtest/gtest.h>

namespace {

struct Traces {
    int messages = 0;
    int attached = 0;
    bool windowGone = false;
    bool viewGone = false;
};

class TracedView : public BView {
public:
    TracedView(Traces* traces)
        : BView(BRect(0, 0, 20, 20), "traced", B_FOLLOW_ALL, B_WILL_DRAW), fTraces(traces) {}
    ~TracedView() override { fTraces->viewGone = true; }
    void AttachedToWindow() override { fTraces->attached++; }

private:
    Traces* fTraces;
};

class TracedWindow : public BWindow {
public:
    TracedWindow(Traces* traces)
        : BWindow(BRect(501.5, 10, 521.5, 30), "traced", B_BORDERED_WINDOW, B_NOT_RESIZABLE),
          fTraces(traces) {}
    ~TracedWindow() override { fTraces->windowGone = true; }
    void MessageReceived(BMessage*) override { fTraces->messages++; }

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
