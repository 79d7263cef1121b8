// The program on a desktop: under a window manager that starts after it,
// without a display, with its window destroyed by another client, and on a
// screen that wants everything twice as large.

#include "PulseServer.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"

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

    TempDirectory home("gw_openbox");
    ChildProcess manager({ "openbox", "--sm-disable" },
        { "PATH=/usr/bin:/bin", "DISPLAY=" + x.Display(), "HOME=" + home.Path() },
        home.File("openbox.log"));
    ASSERT_TRUE(WaitUntil([&] {
        return !x11.FrameExtents(window).empty() && x11.IsShown(window);
    }, 10s)) << "openbox never managed the window\n" << ReadFile(home.File("openbox.log"));
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
    const std::pair<std::string, std::string> cases[] = {
        { "DISPLAY", "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)" },
        { "DISPLAY=:7999", "" },
    };
    for (size_t n = 0; n < std::size(cases); n++) {
        const auto& [change, why] = cases[n];
        ChildProcess& instance = S().StartInstance({ change });
        ASSERT_TRUE(S().Exits(instance, 1)) << change;
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
