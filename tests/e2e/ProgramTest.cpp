// The program itself, as a user runs it, on a private X server and a private
// sound server: its window and picture, the sound and the format it prints,
// a click launching the next instance (or an alert when it can't), and the
// ways an instance ends. Each test runs in a session of its own.

#include "InstanceProcesses.h"
#include "MonitorRecorder.h"
#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kAlertLine = kAlertPrefix
    + "title \"\" text \"sorry, i couldn't launch more gondavel_wubbix.\\nmake sure to throw away "
      "all old versions,\\n or i will get confused!\" buttons \"yip!\"";
// The sound starts centred, and the first pan step can come only with the
// first pulse, 100 ms after the set-up that ends with starting the sound.
// The first buffer (1024 frames) is rendered as soon as playback starts,
// well before that pulse even on a loaded machine; later buffers wait for
// the server to take the earlier ones. The tone may begin with one silent
// frame.
constexpr size_t kCentredFrames = 1000;

// How many of the lines of `text` are `line`.
size_t CountLines(const std::string& text, const std::string& line)
{
    return std::ranges::count(Lines(text), line);
}

using ProgramTest = SessionTest;

} // namespace

TEST_F(ProgramTest, FirstInstanceShowsABorderlessWindowBelowTheMiddleWithAChangingPicture)
{
    ChildProcess& instance = S().StartInstance();
    Window window = X().FindWindow("gondavel_wubbix");
    ASSERT_NE(window, 0u) << S().Output();
    ASSERT_TRUE(S().Says(0, kFormatLines)) << S().Output();

    // S = (0, 0, 1023, 767): the corner (501.5, 393.5) rounds to (502, 394).
    std::array<int, 4> frame = X().Frame(window);
    EXPECT_EQ(frame, (std::array<int, 4> { 502, 394, 21, 21 }));

    EXPECT_EQ(X().Decorations(window), 0L) << "decorations shown";

    EXPECT_TRUE(S().PictureChanges(instance.Pid()));
    EXPECT_TRUE(instance.IsRunning()) << S().Output();
}

TEST_F(ProgramTest, FirstInstancePrintsTheFormatOnceAndSoundsCentredUntilThePanMoves)
{
    MonitorRecorder recorder(Pulse(), S().Runtime().File("monitor.raw"));
    // The sound server's handshake runs beside the window's set-up, so on a
    // loaded machine playback may start after the first pulse, which may
    // have moved the pan already: a tone that starts off centre gets two
    // more instances to try.
    size_t first = 0;
    size_t centred = 0;
    for (size_t attempt = 0; attempt < 3 && centred < kCentredFrames; attempt++) {
        if (attempt > 0) {
            ASSERT_TRUE(S().EndsCleanly(S().Instance(attempt - 1)));
        }
        size_t start = recorder.Frames();
        S().StartInstance();

        // The first frame of the tone, and enough after it.
        auto sounded = [&] {
            std::vector<float> samples = recorder.Samples();
            first = FirstSoundingFrame(samples, start);
            return first != std::string::npos && samples.size() / 2 >= first + kCentredFrames;
        };
        ASSERT_TRUE(WaitUntil(sounded, 20s)) << "no sound\n" + S().Output(attempt);
        // The null sink holds 32-bit floats, so the channels arrive exactly
        // as played: centred, they are the same.
        std::vector<float> samples = recorder.Samples();
        size_t firstUnequal = first;
        while (firstUnequal < samples.size() / 2
            && samples[2 * firstUnequal] == samples[2 * firstUnequal + 1])
            firstUnequal++;
        centred = firstUnequal - first;
    }
    EXPECT_GE(centred, kCentredFrames) << "the tone starts at frame " << first;

    // Printed on the first buffer; still once after more have played.
    size_t last = S().Started() - 1;
    ASSERT_TRUE(recorder.WaitForFrames(first + PulseServer::kFrameRate, 10s));
    EXPECT_EQ(LinesStartingWith(S().Output(last), kFormatPrefix), Lines(kFormatLines))
        << S().Output(last);
    EXPECT_TRUE(S().Instance(last).IsRunning()) << S().Output(last);
}

TEST_F(ProgramTest, ClicksLaunchDetachedInstancesThatFillTheGridRowByRow)
{
    S().StartInstance();
    ASSERT_NE(X().FindWindow("gondavel_wubbix"), 0u) << S().Output();

    // Each launch waits for the one before to show its window, so each new
    // instance counts all the others.
    const std::pair<const char*, std::array<int, 4>> next[] = {
        { "ondavel_wubbixg", { 524, 394, 21, 21 } },
        { "ndavel_wubbixgo", { 546, 394, 21, 21 } },
        { "davel_wubbixgon", { 502, 416, 21, 21 } },
    };
    for (const auto& [title, frame] : next) {
        SCOPED_TRACE(title);
        X().Click({ 512, 404 });
        Window window = X().FindWindow(title);
        ASSERT_NE(window, 0u) << S().Output();
        EXPECT_EQ(X().Frame(window), frame);
    }
    ASSERT_EQ(X().TopLevelWindows().size(), 4u);
    std::set<pid_t> instances = S().Locked();
    ASSERT_EQ(instances.size(), 4u);
    // Not children of the first instance, nor of the test.
    for (pid_t pid : instances) {
        if (pid == S().Instance(0).Pid())
            continue;
        EXPECT_NE(Parent(pid), S().Instance(0).Pid());
        EXPECT_NE(Parent(pid), getpid());
    }
}

TEST_F(ProgramTest, EachClickWithTheProgramFileGoneShowsOneAlertAndTheInstanceCarriesOn)
{
    // A copy of the program that is deleted once it runs.
    std::string copy = S().ProgramCopy();
    ChildProcess& instance = S().StartInstance({}, { copy });
    Window window = X().FindWindow("gondavel_wubbix");
    ASSERT_NE(window, 0u) << S().Output();
    ASSERT_TRUE(S().Says(0, kFormatLines)) << S().Output();
    ASSERT_EQ(unlink(copy.c_str()), 0);

    std::vector<Window> before = X().TopLevelWindows();
    X().Click({ 512, 404 });
    auto boxes = [&] { return X().TopLevelWindowsBut(before); };
    ASSERT_TRUE(WaitUntil([&] { return !boxes().empty(); }, 10s)) << S().Output();
    // The box stays the only new window while it waits for the user.
    std::this_thread::sleep_for(500ms);
    std::vector<Window> shown = boxes();
    ASSERT_EQ(shown.size(), 1u);
    Window box = shown[0];
    EXPECT_EQ(X().Title(box), "");
    EXPECT_EQ(CountLines(S().Output(), kAlertLine), 1u) << S().Output();
    EXPECT_EQ(S().Locked().size(), 1u) << "launched despite the missing file";

    // With no window manager to do it, the user gives the box the keyboard
    // (the instance took it when its window showed) and presses Return for
    // the one button.
    X().Focus(box);
    X().PressKey(XK_Return);
    ASSERT_TRUE(WaitUntil([&] { return boxes().empty(); }, 10s)) << "the alert stayed";
    // The next one goes with a click on its button, at the bottom right.
    X().Click({ 512, 404 });
    ASSERT_TRUE(WaitUntil([&] { return boxes().size() == 1; }, 10s)) << S().Output();
    std::array<int, 4> frame = X().Frame(boxes()[0]);
    X().Click({ frame[0] + frame[2] - 20, frame[1] + frame[3] - 20 });
    ASSERT_TRUE(WaitUntil([&] { return boxes().empty(); }, 10s)) << "the alert stayed";

    // Still there, still drawing and still sounding, and nothing else came
    // up on the way.
    EXPECT_TRUE(S().PictureChanges(instance.Pid()));
    EXPECT_TRUE(S().Sounds());
    EXPECT_TRUE(instance.IsRunning()) << S().Output();
    EXPECT_EQ(X().FindWindow("gondavel_wubbix", 0ms), window);
    EXPECT_EQ(X().TopLevelWindows().size(), 1u);
    EXPECT_EQ(CountLines(S().Output(), kAlertLine), 2u) << S().Output();
}

namespace {

// The ways of closing an instance from outside.
enum class CloseWay { WindowManager,
    Terminate,
    ControlTool };

class ProgramCloseTest : public SessionTest, public testing::WithParamInterface<CloseWay> {
protected:
    void Close(pid_t pid, Window window)
    {
        switch (GetParam()) {
        case CloseWay::WindowManager:
            X().Close(window);
            break;
        case CloseWay::Terminate:
            kill(pid, SIGTERM);
            break;
        case CloseWay::ControlTool: {
            CtlResult result = S().Ctl({ "quit", std::to_string(pid) });
            EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
            break;
        }
        }
    }
};

} // namespace

TEST_P(ProgramCloseTest, ClosingEndsThatInstanceCleanlyAndLeavesTheOtherRunning)
{
    ChildProcess& first = S().StartInstance();
    Window firstWindow = X().FindWindow("gondavel_wubbix");
    ASSERT_NE(firstWindow, 0u) << S().Output(0);
    ChildProcess& second = S().StartInstance();
    Window secondWindow = X().FindWindow("ondavel_wubbixg");
    ASSERT_NE(secondWindow, 0u) << S().Output(1);
    const std::multiset<pid_t> both { first.Pid(), second.Pid() };
    ASSERT_TRUE(WaitUntil([&] { return S().StreamOwners() == both; }, 10s)) << Pulse().ListSinkInputs();

    Close(first.Pid(), firstWindow);
    ASSERT_TRUE(S().Exits(first, 0));
    EXPECT_EQ(S().RegistryFilesOf(first.Pid()), std::set<std::string> {});
    const std::multiset<pid_t> onlySecond { second.Pid() };
    EXPECT_TRUE(WaitUntil([&] { return S().StreamOwners() == onlySecond; }, 10s)) << Pulse().ListSinkInputs();

    EXPECT_TRUE(second.IsRunning()) << S().Output(1);
    EXPECT_EQ(X().FindWindow("ondavel_wubbixg", 0ms), secondWindow);
    EXPECT_EQ(X().FindWindow("gondavel_wubbix", 0ms), 0u);
    EXPECT_EQ(S().Locked(), std::set<pid_t> { second.Pid() });
}

INSTANTIATE_TEST_SUITE_P(Ways, ProgramCloseTest,
    testing::Values(CloseWay::WindowManager, CloseWay::Terminate, CloseWay::ControlTool),
    CaseNames<CloseWay>({ "WindowManager", "Sigterm", "ControlTool" }));

TEST_F(ProgramTest, EverySignalThatWouldEndItEndsItCleanlyAndAFailedWriteIsNoSignal)
{
    const int signals[] = { SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
        SIGSTKFLT, SIGRTMIN, SIGRTMAX };
    for (size_t n = 0; n <= std::size(signals); n++)
        S().StartInstance();
    ASSERT_TRUE(S().WaitUntilSettled(60s)) << S().AllOutput();
    ChildProcess& writer = S().Instance(std::size(signals));
    kill(writer.Pid(), SIGPIPE);
    kill(writer.Pid(), SIGXFSZ);
    for (size_t n = 0; n < std::size(signals); n++)
        kill(S().Instance(n).Pid(), signals[n]);
    for (size_t n = 0; n < std::size(signals); n++) {
        EXPECT_TRUE(S().Exits(S().Instance(n), 0)) << "signal " << signals[n];
        EXPECT_EQ(S().RegistryFilesOf(S().Instance(n).Pid()), std::set<std::string> {});
    }
    EXPECT_EQ(S().Locked(), std::set<pid_t> { writer.Pid() });
    EXPECT_TRUE(writer.IsRunning());
}

namespace {

// With neither a display nor a sound server, anything the program tried to
// open would fail aloud, and a registered instance would leave its entry.
class ProgramOptions : public SessionTest {
protected:
    ProgramOptions() : SessionTest(XServer::Absent, Sound::Absent) {}
};

} // namespace

TEST_F(ProgramOptions, HelpAndVersionPrintAndEndWithoutOpeningAnything)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        { { "--help" }, "Usage: gondavel_wubbix [--help | --version]\n" },
        { { "stray", "--version", "--help" }, "gondavel_wubbix 1.1.0 (development)\n" },
    };
    for (size_t n = 0; n < std::size(cases); n++) {
        std::vector<std::string> argv { kProgramPath };
        argv.insert(argv.end(), cases[n].first.begin(), cases[n].first.end());
        EXPECT_TRUE(S().Exits(S().StartInstance({}, argv), 0, 1s));
        std::string output = S().Output(n);
        EXPECT_EQ(output.substr(0, output.find('\n') + 1), cases[n].second);
        EXPECT_EQ(output.find("couldn't"), std::string::npos) << output;
    }
    EXPECT_EQ(S().RegistryFiles(), std::set<std::string> {});
}
