// The program on a desktop: under a window manager that starts after it,
// without a display, with its window destroyed by another client (its alert
// up or not), on a screen that wants everything twice as large, asked for
// reduced animation, and on a Wayland compositor.

#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"
#include "WestonServer.h"
#include "WindowManager.h"
#include "XSettingsOwner.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <algorithm>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

namespace {

using DesktopTest = SessionTest;

} // namespace

TEST_F(DesktopTest, UnderAWindowManagerThatComesLaterTheWindowStaysBareInItsPlace)
{
    // A display of its own, so that the window manager leaves the others be.
    XvfbServer x;
    Session session(x.Display(), &Pulse());
    const XClient& x11 = session.X();
    ChildProcess& first = session.StartInstance();
    Window window = x11.WindowOf(first.Pid());
    ASSERT_NE(window, 0u) << session.Output();

    WindowManager manager(x.Display());
    auto managed = [&] { return !x11.FrameExtents(window).empty() && x11.IsShown(window); };
    ASSERT_TRUE(WaitUntil(managed, 10s)) << "openbox never managed the window";
    EXPECT_EQ(x11.FrameExtents(window), (std::vector<long> { 0, 0, 0, 0 }));
    EXPECT_EQ(x11.Frame(window), (std::array<int, 4> { 502, 394, 21, 21 }));
    EXPECT_EQ(x11.IconSizes(window), (std::vector<long> { 16, 32, 48, 64 }));
    EXPECT_EQ(x11.Class(window), "gondavel_wubbix.gondavel_wubbix");

    // A click launches the next one in its place, bare too.
    x11.Click(x11.Middle(window));
    ASSERT_TRUE(WaitUntil([&] { return session.LiveInstances().size() == 2; }, 20s))
        << session.Output();
    std::set<pid_t> live = session.LiveInstances();
    live.erase(first.Pid());
    Window next = x11.WindowOf(*live.begin());
    ASSERT_NE(next, 0u);
    EXPECT_TRUE(WaitUntil([&] { return x11.FrameExtents(next).size() == 4; }, 10s));
    EXPECT_EQ(x11.FrameExtents(next), (std::vector<long> { 0, 0, 0, 0 }));
    EXPECT_EQ(x11.Frame(next), (std::array<int, 4> { 524, 394, 21, 21 }));

    // The window manager's close ends the instance.
    x11.Close(window);
    ASSERT_TRUE(session.Exits(first, 0));
}

TEST_F(DesktopTest, WithoutADisplayNothingStartsAndOneLineSaysWhy)
{
    MuteDisplay mute;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        { { "DISPLAY" }, "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)" },
        { { "DISPLAY=:7999" }, "" },
        // A compositor that never answers is given two seconds.
        { { "DISPLAY", "WAYLAND_DISPLAY=" + mute.WaylandDisplay() }, "the Wayland compositor didn't answer" },
    };
    for (size_t n = 0; n < std::size(cases); n++) {
        const auto& [changes, why] = cases[n];
        ChildProcess& instance = S().StartInstance(changes);
        ASSERT_TRUE(S().Exits(instance, 1)) << changes.back();
        std::string output = S().Output(n);
        EXPECT_EQ(output.rfind("gondavel_wubbix: couldn't open a window: " + why, 0), 0u) << output;
        EXPECT_EQ(CountOf(output, "\n"), 1u) << output;
        EXPECT_EQ(S().RegistryFilesOf(instance.Pid()), std::set<std::string> {});
    }
    EXPECT_EQ(S().ListedPids(), std::set<pid_t> {});
    EXPECT_EQ(Pulse().CountSinkInputs(), 0u);
}

TEST_F(DesktopTest, AWindowDestroyedByAnotherClientEndsItsInstanceLikeAClose)
{
    ChildProcess& doomed = S().StartInstance();
    ChildProcess& other = S().StartInstance();
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().AllOutput();
    X().Destroy(X().WindowOf(doomed.Pid()));

    ASSERT_TRUE(S().Exits(doomed, 0));
    EXPECT_EQ(S().RegistryFilesOf(doomed.Pid()), std::set<std::string> {});
    EXPECT_TRUE(WaitUntil([&] { return S().StreamOwners().count(doomed.Pid()) == 0; }, 10s));
    EXPECT_TRUE(other.IsRunning());
    EXPECT_NE(X().WindowOf(other.Pid(), 0ms), 0u);
    EXPECT_EQ(S().StreamOwners().count(other.Pid()), 1u);
    EXPECT_EQ(CountOf(S().Output(0), "gondavel_wubbix:"), 0u) << S().Output(0);
}

TEST_F(DesktopTest, WithItsAlertUpAnInstanceStillEndsWithItsWindowAndOutlivesTheAlert)
{
    // Launches fail once the program file is gone.
    ChildProcess& first = S().StartInstance({}, { S().ProgramCopy() });
    Window firstWindow = X().WindowOf(first.Pid());
    ChildProcess& second = S().StartInstance({}, { S().ProgramCopy() });
    Window secondWindow = X().WindowOf(second.Pid());
    ASSERT_TRUE(firstWindow != 0 && secondWindow != 0) << S().AllOutput();
    std::filesystem::remove(S().ProgramCopy());
    auto raiseAlert = [&](Window window) {
        std::vector<Window> before = X().TopLevelWindows();
        X().Click(X().Middle(window));
        EXPECT_TRUE(WaitUntil([&] { return X().TopLevelWindowsBut(before).size() == 1; }, 10s));
        std::vector<Window> boxes = X().TopLevelWindowsBut(before);
        return boxes.empty() ? 0 : boxes[0];
    };

    // The window destroyed under its alert: the instance ends, alert and all.
    Window box = raiseAlert(firstWindow);
    ASSERT_NE(box, 0u) << S().AllOutput();
    X().Destroy(firstWindow);
    ASSERT_TRUE(S().Exits(first, 0));
    EXPECT_EQ(X().TopLevelWindows(), std::vector<Window> { secondWindow });

    // The alert destroyed: it goes, and its instance goes on drifting.
    box = raiseAlert(secondWindow);
    ASSERT_NE(box, 0u) << S().AllOutput();
    X().Destroy(box);
    EXPECT_TRUE(S().PictureChanges(second.Pid()));
    EXPECT_TRUE(second.IsRunning()) << S().AllOutput();
    EXPECT_EQ(CountOf(S().AllOutput(), kAlertPrefix), 2u) << S().AllOutput();
}

TEST_F(DesktopTest, OnAWaylandCompositorAWindowIsSmallAndClicksQuitAndAlertsWorkAsOnX11)
{
    // X out of reach of the instances; the compositor's output is twice as
    // dense.
    XvfbServer x;
    WestonServer weston(x.Display(), 2);
    S().ChangeEnvironment({ "DISPLAY", "WAYLAND_DISPLAY=" + weston.Display() });
    ChildProcess& first = S().StartInstance({}, { S().ProgramCopy() });
    std::vector<std::array<int, 4>> frames;
    auto shown = [&](const std::function<bool()>& enough) {
        return WaitUntil([&] { return frames = weston.Frames(), enough(); }, 20s);
    };
    ASSERT_TRUE(shown([&] { return frames.size() == 1; })) << S().Output() << weston.Log();
    auto [left, top, width, height] = frames[0];
    EXPECT_EQ(width, 42);
    EXPECT_EQ(height, 42);
    std::array<int, 2> middle = { left + width / 2, top + height / 2 };

    weston.Click(middle);
    EXPECT_TRUE(WaitUntil([&] { return S().ListedPids().size() == 2; }, 20s)) << S().Output();
    // With launches failing, the alert: a box far larger. Return answers
    // it, once a click has given it the keyboard (the second instance has
    // it), so that the next click puts up the next one, which a quit ends.
    std::filesystem::remove(S().ProgramCopy());
    weston.Click(middle);
    std::array<int, 4> box {};
    auto alert = [&] {
        auto large = std::find_if(frames.begin(), frames.end(), [](auto frame) { return frame[2] > 200; });
        return large != frames.end() && (box = *large, true);
    };
    ASSERT_TRUE(shown(alert)) << S().Output();
    weston.Click({ box[0] + box[2] / 2, box[1] + box[3] / 2 });
    weston.PressKey(XK_Return);
    auto alerts = [&] { return CountOf(S().Output(), kAlertPrefix); };
    EXPECT_TRUE(WaitUntil([&] { return weston.Click(middle), alerts() == 2; }, 10s)) << S().Output();

    CtlResult quit = S().Ctl({ "quit", "all" });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    ASSERT_TRUE(S().Exits(first, 0));
    EXPECT_TRUE(WaitUntil([&] { return S().LiveInstances().empty(); }, 10s));
    std::string output = S().Output();
    EXPECT_EQ(CountOf(output, kFormatLines), 2u) << output;
    EXPECT_EQ(CountOf(output, "gondavel_wubbix: couldn't launch another instance: "), 2u) << output;
    EXPECT_EQ(CountOf(output, "gondavel_wubbix:"), 4u) << output;
}

TEST_F(DesktopTest, OnAWaylandCompositorAnInstanceStartsQuietlyAndEndsWithTheCompositor)
{
    XvfbServer x;
    auto weston = std::make_unique<WestonServer>(x.Display());
    std::string display = weston->Display();
    ChildProcess& instance = S().StartInstance({ "DISPLAY", "WAYLAND_DISPLAY=" + display });
    ASSERT_TRUE(WaitUntil([&] { return S().StreamOwners().count(instance.Pid()) == 1; }, 20s))
        << S().Output() << weston->Log();
    ASSERT_TRUE(S().Says(0, kFormatLines));
    // Its window drawn (the text libraries loaded beside the compositor's
    // decorations), it runs on and has said nothing but the format.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(instance.IsRunning());
    EXPECT_EQ(S().Output(), kFormatLines);

    weston.reset();
    ASSERT_TRUE(S().Exits(instance, 1));
    EXPECT_EQ(S().Output(),
        kFormatLines + kDisplayLostPrefix + "Wayland display " + display + "\n");
    EXPECT_EQ(S().RegistryFilesOf(instance.Pid()), std::set<std::string> {});
}

TEST_F(DesktopTest, AtTwiceTheScaleWindowsAndGridAreTwiceAsLarge)
{
    // The screen is 1024 by 768 pixels, 512 by 384 units: the first corner
    // is (245.5, 201.5) units, (491, 403) pixels.
    ChildProcess& first = S().StartInstance({ "GW_SCALE=2" });
    Window window = X().WindowOf(first.Pid());
    ASSERT_NE(window, 0u) << S().Output();
    EXPECT_EQ(X().Frame(window), (std::array<int, 4> { 491, 403, 42, 42 }));
    X().Click(X().Middle(window));
    Window next = X().FindWindow("ondavel_wubbixg");
    ASSERT_NE(next, 0u) << S().Output();
    EXPECT_EQ(X().Frame(next), (std::array<int, 4> { 535, 403, 42, 42 }));
}

TEST_F(DesktopTest, AskedForReducedAnimationAWindowChangesColourAtMostThreeTimesASecond)
{
    XSettingsOwner desktop(Xvfb().Display(), true);
    ChildProcess& calm = S().StartInstance();
    ChildProcess& lively = S().StartInstance({ "GW_REDUCED_MOTION=0" });
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().AllOutput();
    auto often = [](const std::vector<PictureChange>& changes) {
        return MostChangesInOneSecond(changes) > 3;
    };
    // The desktop wants animations: a voice that steps often (rolled until
    // one does) changes colour more than three times in some second.
    ASSERT_TRUE(S().WatchPicture(calm.Pid(), often));

    // Asked while it runs, it shows its newest picture no more than three
    // times in any second; the instance started with GW_REDUCED_MOTION=0
    // is not held back. Asked back, the first one isn't either.
    desktop.SetAnimations(false);
    std::this_thread::sleep_for(1s);
    std::vector<PictureChange> changes;
    EXPECT_TRUE(S().WatchPicture(
        calm.Pid(),
        [](const std::vector<PictureChange>& seen) { return seen.size() >= 6; }, &changes));
    EXPECT_LE(MostChangesInOneSecond(changes), 3);
    EXPECT_TRUE(S().WatchPicture(lively.Pid(), often));

    desktop.SetAnimations(true);
    EXPECT_TRUE(S().WatchPicture(calm.Pid(), often));
    EXPECT_EQ(CountOf(S().AllOutput(), "gondavel_wubbix:"), 0u) << S().AllOutput();
}
