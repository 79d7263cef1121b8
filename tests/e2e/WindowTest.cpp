// Windows on a real, private X server: where the window appears and how it
// looks, that its hooks follow the window lock, and the ways the program
// ends. The probe program (WindowProbe.cpp) reports its events on stdout;
// the tests look at the window through Xlib as any other X client would.

#include "ChildProcess.h"
#include "platform/Message.h"
#include "platform/RosterServer.h"
#include "TempDirectory.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

class WindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        fDisplay = XOpenDisplay(fServer.Display().c_str());
        ASSERT_NE(fDisplay, nullptr);
    }
    void TearDown() override
    {
        fProbe.reset();
        if (fDisplay != nullptr)
            XCloseDisplay(fDisplay);
    }

    // Starts the probe with a frame and a pulse rate and waits for its
    // window to be drawn.
    void StartProbe(const std::string& frame, const std::string& pulseRate)
    {
        std::istringstream edges(frame);
        std::vector<std::string> argv = { WINDOW_PROBE_PATH };
        for (std::string edge; edges >> edge;)
            argv.push_back(edge);
        argv.push_back(pulseRate);
        std::vector<std::string> environment = {
            "PATH=/usr/bin:/bin",
            "DISPLAY=" + fServer.Display(),
            "HOME=" + fHome.Path(),
            "XDG_RUNTIME_DIR=" + fHome.Path(),
        };
        for (const char* name : { "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS" }) {
            if (const char* value = getenv(name))
                environment.push_back(std::string(name) + "=" + value);
        }
        fProbe = std::make_unique<ChildProcess>(argv, environment, fHome.File("probe.log"));
        ASSERT_TRUE(WaitFor([&] { return Output().find("drawn") != std::string::npos; }))
            << Output();
        ASSERT_TRUE(WaitFor([&] { return (fWindow = FindWindow()) != 0; })) << Output();
    }

    std::string Output() const
    {
        std::ifstream file(fHome.File("probe.log"));
        std::stringstream contents;
        contents << file.rdbuf();
        return contents.str();
    }

    static bool WaitFor(const std::function<bool()>& done)
    {
        auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // The probe's top-level window, found by its title among the root
    // window's children (there is no window manager to reparent it).
    Window FindWindow()
    {
        Window root = DefaultRootWindow(fDisplay);
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        Window found = 0;
        if (!XQueryTree(fDisplay, root, &root, &parent, &children, &count))
            return 0;
        for (unsigned int i = 0; i < count && found == 0; i++) {
            char* name = nullptr;
            XWindowAttributes attributes;
            if (XFetchName(fDisplay, children[i], &name) && name != nullptr) {
                if (std::string(name) == "window_probe"
                    && XGetWindowAttributes(fDisplay, children[i], &attributes)
                    && attributes.map_state == IsViewable)
                    found = children[i];
                XFree(name);
            }
        }
        if (children != nullptr)
            XFree(children);
        return found;
    }

    // Counts the window's pixels of one colour.
    int CountPixels(unsigned long red, unsigned long green, unsigned long blue)
    {
        XWindowAttributes attributes;
        XGetWindowAttributes(fDisplay, fWindow, &attributes);
        XImage* image = XGetImage(fDisplay, fWindow, 0, 0, attributes.width, attributes.height,
            AllPlanes, ZPixmap);
        if (image == nullptr)
            return -1;
        int count = 0;
        for (int y = 0; y < attributes.height; y++) {
            for (int x = 0; x < attributes.width; x++) {
                unsigned long pixel = XGetPixel(image, x, y);
                if (((pixel >> 16) & 0xff) == red && ((pixel >> 8) & 0xff) == green
                    && (pixel & 0xff) == blue)
                    count++;
            }
        }
        XDestroyImage(image);
        return count;
    }

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

TEST_F(WindowTest, BorderedWindowAppearsAtTheRoundedFrameWithoutDecorations)
{
    // SDL sets the decoration hints only when the atom exists, as it does
    // wherever a window manager runs; this server has none, so make it.
    Atom hints = XInternAtom(fDisplay, "_MOTIF_WM_HINTS", False);
    XSync(fDisplay, False);
    StartProbe("501.5 10 521.5 30", "500000");

    Window root = 0;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    ASSERT_TRUE(XGetGeometry(fDisplay, fWindow, &root, &x, &y, &width, &height, &border, &depth));
    EXPECT_EQ(width, 21u);
    EXPECT_EQ(height, 21u);
    Window child = 0;
    ASSERT_TRUE(XTranslateCoordinates(fDisplay, fWindow, root, 0, 0, &x, &y, &child));
    EXPECT_EQ(x, 502);
    EXPECT_EQ(y, 10);

    // _MOTIF_WM_HINTS: flags, functions, decorations, ...; bit 1 of the
    // flags says the decorations field counts.
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    ASSERT_EQ(XGetWindowProperty(fDisplay, fWindow, hints, 0, 5, False, AnyPropertyType, &type,
                  &format, &items, &remaining, &data),
        Success);
    ASSERT_NE(data, nullptr);
    ASSERT_GE(items, 3u);
    const long* fields = reinterpret_cast<const long*>(data);
    EXPECT_NE(fields[0] & 2, 0);
    EXPECT_EQ(fields[2], 0);
    XFree(data);
}

TEST_F(WindowTest, ScreenFrameIsTheWholeDisplayInclusive)
{
    StartProbe("0 0 20 20", "500000");
    EXPECT_NE(Output().find("screen 0 0 1023 767\n"), std::string::npos) << Output();
}

TEST_F(WindowTest, DrawnTextShowsInTheHighColourOnTheViewColour)
{
    StartProbe("100 100 120 120", "500000");
    EXPECT_TRUE(WaitFor([&] { return CountPixels(255, 255, 0) > 0; }))
        << "no text pixels; background pixels: " << CountPixels(0, 0, 128);
    EXPECT_GT(CountPixels(0, 0, 128), 21 * 21 / 2);
}

TEST_F(WindowTest, ClickReachesTheViewInViewCoordinates)
{
    StartProbe("200 300 220 320", "500000");
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), 205, 307, CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, True, CurrentTime);
    XTestFakeButtonEvent(fDisplay, 1, False, CurrentTime);
    XFlush(fDisplay);
    EXPECT_TRUE(WaitFor([&] { return Output().find("mouse 5 7\n") != std::string::npos; }))
        << Output();
}

TEST_F(WindowTest, LockHeldByAnotherThreadHoldsBackPulses)
{
    StartProbe("0 0 20 20", "50000");
    ASSERT_TRUE(WaitFor([&] { return Stamps("pulse").size() >= 3; })) << Output();
    kill(fProbe->Pid(), SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return !Stamps("unlocking").empty(); })) << Output();
    long long locked = Stamps("locked").at(0);
    long long unlocking = Stamps("unlocking").at(0);
    EXPECT_GE(unlocking - locked, 500000);
    // Pulses resume once the lock is let go.
    ASSERT_TRUE(WaitFor([&] { return Stamps("pulse").back() > unlocking; })) << Output();
    for (long long pulse : Stamps("pulse"))
        EXPECT_FALSE(pulse > locked && pulse < unlocking) << "pulse at " << pulse;
}

TEST_F(WindowTest, MessagesFromAnotherProcessReachTheApplicationAndTheWindow)
{
    StartProbe("0 0 20 20", "500000");
    setenv("XDG_RUNTIME_DIR", fHome.Path().c_str(), 1);
    BMessage toWindow(FourCC("tswn"));
    ASSERT_EQ(toWindow.AddInt32("value", 7), B_OK);
    BMessage toApplication(FourCC("tsap"));
    ASSERT_EQ(toApplication.AddInt32("value", 9), B_OK);
    const char* signature = "application/x-vnd.gw-window-probe";
    ASSERT_EQ(RosterServer::Send(signature, fProbe->Pid(), MessageTarget::Window, toWindow), B_OK);
    ASSERT_EQ(RosterServer::Send(signature, fProbe->Pid(), MessageTarget::Application,
        toApplication), B_OK);

    EXPECT_TRUE(WaitFor([&] {
        std::string output = Output();
        return output.find("window message 7473776e 7\n") != std::string::npos
            && output.find("app message 74736170 9\n") != std::string::npos;
    })) << Output();
}

TEST_F(WindowTest, WindowManagerCloseEndsTheProgramWithStatusZero)
{
    StartProbe("0 0 20 20", "500000");
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = fWindow;
    event.xclient.message_type = XInternAtom(fDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(fDisplay, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    ASSERT_TRUE(XSendEvent(fDisplay, fWindow, False, NoEventMask, &event));
    XFlush(fDisplay);

    ASSERT_TRUE(fProbe->WaitForExit(kDeadline)) << Output();
    EXPECT_EQ(fProbe->ExitCode(), 0) << Output();
    std::string output = Output();
    EXPECT_NE(output.find("window quit requested\n"), std::string::npos) << output;
    EXPECT_NE(output.find("window deleted\n"), std::string::npos) << output;
}

TEST_F(WindowTest, ControlWIsAQuitRequest)
{
    StartProbe("0 0 20 20", "500000");
    // No window manager: the keyboard follows the pointer.
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), 10, 10, CurrentTime);
    KeyCode control = XKeysymToKeycode(fDisplay, XK_Control_L);
    KeyCode w = XKeysymToKeycode(fDisplay, XK_w);
    XTestFakeKeyEvent(fDisplay, control, True, CurrentTime);
    XTestFakeKeyEvent(fDisplay, w, True, CurrentTime);
    XTestFakeKeyEvent(fDisplay, w, False, CurrentTime);
    XTestFakeKeyEvent(fDisplay, control, False, CurrentTime);
    XFlush(fDisplay);
    ASSERT_TRUE(fProbe->WaitForExit(kDeadline)) << Output();
    EXPECT_EQ(fProbe->ExitCode(), 0) << Output();
    EXPECT_NE(Output().find("window quit requested\n"), std::string::npos) << Output();
}

TEST_F(WindowTest, SigtermEndsTheProgramWithStatusZeroWithoutWaitingForAPulse)
{
    // Pulses ten seconds apart: the window thread must be woken to end.
    StartProbe("0 0 20 20", "10000000");
    kill(fProbe->Pid(), SIGTERM);
    ASSERT_TRUE(fProbe->WaitForExit(5s)) << Output();
    EXPECT_EQ(fProbe->ExitCode(), 0) << Output();
    std::string output = Output();
    EXPECT_NE(output.find("app quit requested\n"), std::string::npos) << output;
    EXPECT_NE(output.find("window deleted\n"), std::string::npos) << output;
    EXPECT_NE(output.find("exit\n"), std::string::npos) << output;
}
