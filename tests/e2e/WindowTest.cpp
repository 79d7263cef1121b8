// Windows on a real, private X server: where the window appears and how it
// looks, input and messages reaching it, that its hooks follow the window
// lock, and the ways the program ends. The probe program (WindowProbe.cpp)
// reports its events on stdout; the tests look at the window through Xlib
// as any other X client would.

#include "ChildProcess.h"
#include "TestSupport.h"
#include "TempDirectory.h"
#include "XvfbServer.h"
#include "Message.h"
#include "Messenger.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "XWindowHints.h"

#include <map>
#include <memory>

namespace {

using namespace std::chrono_literals;

class WindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        fDisplay = XOpenDisplay(fServer.Display().c_str());
        ASSERT_NE(fDisplay, nullptr);
        setenv("XDG_RUNTIME_DIR", fHome.Path().c_str(), 1);
    }
    void TearDown() override
    {
        fProbe.reset();
        if (fDisplay != nullptr)
            XCloseDisplay(fDisplay);
        unsetenv("XDG_RUNTIME_DIR");
    }

    // Starts the probe with a frame and a pulse rate, waits for its window
    // to be drawn and finds it under the pointer, moved into the frame.
    void StartProbe(const std::vector<std::string>& frame, const std::string& pulseRate)
    {
        std::vector<std::string> argv = { WINDOW_PROBE_PATH };
        argv.insert(argv.end(), frame.begin(), frame.end());
        argv.push_back(pulseRate);
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.insert(environment.end(), { "PATH=/usr/bin:/bin",
            "DISPLAY=" + fServer.Display(), "HOME=" + fHome.Path(),
            "XDG_RUNTIME_DIR=" + fHome.Path() });
        fProbe = std::make_unique<ChildProcess>(argv, environment, fHome.File("probe.log"));
        ASSERT_TRUE(Says("drawn")) << Output();
        ASSERT_TRUE(WaitUntil([&] {
            XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), std::stoi(frame[0]) + 5,
                std::stoi(frame[1]) + 5, CurrentTime);
            Window root = 0;
            int x, y, windowX, windowY;
            unsigned int mask;
            XQueryPointer(fDisplay, DefaultRootWindow(fDisplay), &root, &fWindow, &x, &y,
                &windowX, &windowY, &mask);
            return fWindow != 0;
        }, 10s)) << Output();
    }
    std::string Output() const { return ReadFile(fHome.File("probe.log")); }
    bool Says(const std::string& text) const
    {
        return WaitUntil([&] { return Output().find(text) != std::string::npos; }, 10s);
    }
    status_t Send(MessageTarget target, uint32 what, int32 value)
    {
        BMessage message(what);
        message.AddInt32("value", value);
        return BMessenger("application/x-vnd.gw-window-probe", fProbe->Pid(), target)
            .SendMessage(message);
    }

    // How many of the (21x21) window's pixels have each colour (0xRRGGBB).
    std::map<unsigned long, int> Colours()
    {
        std::map<unsigned long, int> counts;
        XImage* image = XGetImage(fDisplay, fWindow, 0, 0, 21, 21, AllPlanes, ZPixmap);
        for (int i = 0; image != nullptr && i < 21 * 21; i++)
            counts[XGetPixel(image, i % 21, i / 21) & 0xffffff]++;
        if (image != nullptr)
            XDestroyImage(image);
        return counts;
    }

    // The stamps of the probe's lines "<event> <stamp>", in order.
    std::vector<long long> Stamps(const std::string& event) const
    {
        std::vector<long long> stamps;
        std::istringstream lines(Output());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(event + " ", 0) == 0)
                stamps.push_back(std::atoll(line.c_str() + event.size() + 1));
        }
        return stamps;
    }

    XvfbServer fServer;
    TempDirectory fHome { "gw_window" };
    Display* fDisplay = nullptr;
    std::unique_ptr<ChildProcess> fProbe;
    Window fWindow = 0;
};

} // namespace

TEST_F(WindowTest, AppearsAtTheRoundedFrameWithoutDecorationsShowingTheViewsColours)
{
    // SDL sets the decoration hints only when the atom exists, as it does
    // wherever a window manager runs; this server has none, so make it.
    XInternAtom(fDisplay, "_MOTIF_WM_HINTS", False);
    XSync(fDisplay, False);
    StartProbe({ "501.5", "10", "521.5", "30" }, "500000");
    EXPECT_TRUE(Says("screen 0 0 1023 767\n")) << Output();

    Window root = 0, child = 0;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    ASSERT_TRUE(XGetGeometry(fDisplay, fWindow, &root, &x, &y, &width, &height, &border, &depth));
    ASSERT_EQ(width, 21u);
    ASSERT_EQ(height, 21u);
    ASSERT_TRUE(XTranslateCoordinates(fDisplay, fWindow, root, 0, 0, &x, &y, &child));
    EXPECT_EQ(x, 502);
    EXPECT_EQ(y, 10);

    EXPECT_EQ(MotifDecorations(fDisplay, fWindow), 0L) << "decorations shown";

    // Text in the high colour on the view colour.
    EXPECT_TRUE(WaitUntil([&] { return Colours()[0xffff00] > 0; }, 10s));
    EXPECT_GT(Colours()[0x000080], 21 * 21 / 2);
}

TEST_F(WindowTest, ClicksAndMessagesFromAnotherProcessReachTheViewWindowAndApplication)
{
    StartProbe({ "200", "300", "220", "320" }, "500000");
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), 205, 307, CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, True, CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, False, CurrentTime);
    XFlush(fDisplay);
    EXPECT_TRUE(Says("mouse 5 7\n")) << Output();

    ASSERT_EQ(Send(MessageTarget::Window, FourCC("tswn"), 7), B_OK);
    ASSERT_EQ(Send(MessageTarget::Application, FourCC("tsap"), 9), B_OK);
    EXPECT_TRUE(Says("window message 7473776e 7\n")) << Output();
    EXPECT_TRUE(Says("app message 74736170 9\n")) << Output();
}

TEST_F(WindowTest, LockHeldByAnotherThreadHoldsBackPulses)
{
    StartProbe({ "0", "0", "20", "20" }, "50000");
    ASSERT_TRUE(WaitUntil([&] { return Stamps("pulse").size() >= 3; }, 10s)) << Output();
    ASSERT_EQ(Send(MessageTarget::Application, FourCC("lock"), 0), B_OK);
    ASSERT_TRUE(Says("unlocking")) << Output();
    long long locked = Stamps("locked").at(0);
    long long unlocking = Stamps("unlocking").at(0);
    EXPECT_GE(unlocking - locked, 500000);
    // Pulses resume once the lock is let go.
    ASSERT_TRUE(WaitUntil([&] { return Stamps("pulse").back() > unlocking; }, 10s)) << Output();
    for (long long pulse : Stamps("pulse"))
        EXPECT_FALSE(pulse > locked && pulse < unlocking) << "pulse at " << pulse;
}

TEST_F(WindowTest, EveryWayOfClosingIsAQuitRequestAndEndsWithStatusZero)
{
    auto closeFromWindowManager = [&] { SendDeleteWindow(fDisplay, fWindow); };
    // No window manager: the keyboard follows the pointer, which StartProbe
    // left inside the window.
    auto pressControlW = [&] {
        KeyCode control = XKeysymToKeycode(fDisplay, XK_Control_L);
        KeyCode w = XKeysymToKeycode(fDisplay, XK_w);
        XTestFakeKeyEvent(fDisplay, control, True, CurrentTime);
        XTestFakeKeyEvent(fDisplay, w, True, CurrentTime);
        XTestFakeKeyEvent(fDisplay, w, False, CurrentTime);
        XTestFakeKeyEvent(fDisplay, control, False, CurrentTime);
    };
    const std::pair<const char*, std::function<void()>> ways[] = {
        { "window quit requested\n", closeFromWindowManager },
        { "window quit requested\n", pressControlW },
        { "app quit requested\n", [&] { kill(fProbe->Pid(), SIGTERM); } },
    };
    for (const auto& [request, close] : ways) {
        SCOPED_TRACE(request);
        // Pulses ten seconds apart: ending must not wait for one.
        StartProbe({ "0", "0", "20", "20" }, "10000000");
        close();
        XFlush(fDisplay);
        ASSERT_TRUE(fProbe->WaitForExit(5s)) << Output();
        EXPECT_EQ(fProbe->ExitCode(), 0) << Output();
        for (const char* line : { request, "window deleted\n", "exit\n" })
            EXPECT_NE(Output().find(line), std::string::npos) << Output();
    }
}
