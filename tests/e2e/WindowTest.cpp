// Windows on a real, private X server: where the window appears and how it
// looks, input and messages reaching it, that its hooks follow the window
// lock, and the ways the program ends. The probe program (WindowProbe.cpp)
// reports its events on stdout; the tests look at the window through Xlib
// as any other X client would.

#include "Message.h"
#include "Messenger.h"
#include "Session.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <functional>

namespace {

using namespace std::chrono_literals;

// The probe on an X server of each test's own, with no sound server.
class WindowTest : public SessionTest {
protected:
    WindowTest() : SessionTest(XServer::Own, Sound::Absent) {}

    // Starts the probe with a frame and a pulse rate, waits for its window
    // to be drawn and moves the pointer into it.
    void StartProbe(const std::vector<std::string>& frame, const std::string& pulseRate)
    {
        std::vector<std::string> argv = { kWindowProbePath };
        argv.insert(argv.end(), frame.begin(), frame.end());
        argv.push_back(pulseRate);
        fProbe = &S().StartInstance({}, argv);
        ASSERT_TRUE(Says("drawn")) << Output();
        fWindow = X().WindowOf(fProbe->Pid(), 10s);
        ASSERT_NE(fWindow, 0u) << Output();
        X().MovePointer({ std::stoi(frame[0]) + 5, std::stoi(frame[1]) + 5 });
    }
    std::string Output() const { return S().Output(S().Started() - 1); }
    bool Says(const std::string& text) const
    {
        return S().Says(S().Started() - 1, text);
    }
    status_t Send(MessageTarget target, uint32 what, int32 value)
    {
        BMessage message(what);
        message.AddInt32("value", value);
        S().JoinFromThisProcess();
        BMessenger probe("application/x-vnd.gw-window-probe", fProbe->Pid(), target);
        return probe.SendMessage(message).code();
    }

    // The stamps of the probe's lines "<event> <stamp>", in order.
    std::vector<long long> Stamps(const std::string& event) const
    {
        std::vector<long long> stamps;
        for (const std::string& line : LinesStartingWith(Output(), event + " "))
            stamps.push_back(std::atoll(line.c_str() + event.size() + 1));
        return stamps;
    }

    ChildProcess* fProbe = nullptr;
    Window fWindow = 0;
};

} // namespace

TEST_F(WindowTest, AppearsAtTheRoundedFrameWithoutDecorationsShowingTheViewsColours)
{
    StartProbe({ "501.5", "10", "521.5", "30" }, "500000");
    EXPECT_TRUE(Says("screen 0 0 1023 767\n")) << Output();

    EXPECT_EQ(X().Frame(fWindow), (std::array<int, 4> { 502, 10, 21, 21 }));
    EXPECT_EQ(X().Decorations(fWindow), 0L) << "decorations shown";

    // Text in the high colour on the view colour.
    EXPECT_TRUE(WaitUntil([&] { return X().Colours(fWindow)[0xffff00] > 0; }, 10s));
    EXPECT_GT(X().Colours(fWindow)[0x000080], 21 * 21 / 2);
}

TEST_F(WindowTest, ClicksAndMessagesFromAnotherProcessReachTheViewWindowAndApplication)
{
    StartProbe({ "200", "300", "220", "320" }, "500000");
    X().Click({ 205, 307 });
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
    // No window manager: the keyboard follows the pointer, which StartProbe
    // left inside the window.
    const std::pair<const char*, std::function<void()>> ways[] = {
        { "window quit requested\n", [&] { X().Close(fWindow); } },
        { "window quit requested\n", [&] { X().PressKey(XK_w, XK_Control_L); } },
        { "app quit requested\n", [&] { kill(fProbe->Pid(), SIGTERM); } },
    };
    for (const auto& [request, close] : ways) {
        SCOPED_TRACE(request);
        // Pulses ten seconds apart: ending must not wait for one.
        ASSERT_NO_FATAL_FAILURE(StartProbe({ "0", "0", "20", "20" }, "10000000"));
        close();
        ASSERT_TRUE(S().Exits(*fProbe, 0, 5s));
        for (const char* line : { request, "window deleted\n", "exit\n" })
            EXPECT_NE(Output().find(line), std::string::npos) << Output();
    }
}
