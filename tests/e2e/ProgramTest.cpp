// The program itself, as a user runs it, on a private X server and a private
// sound server: its window and picture, the sound and the format it prints,
// a click launching the next instance (or an alert when it can't), and the
// ways an instance ends. Instances it launches are detached processes, not
// ours; each test finds them by their runtime directory and kills them when
// it ends, however it ends.

#include "ChildProcess.h"
#include "InstanceProcesses.h"
#include "MonitorRecorder.h"
#include "PulseServer.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "XvfbServer.h"
#include "platform/Message.h"
#include "platform/RosterServer.h"
#include "ui/AppSignature.h"
#include "ui/MessageCodes.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "XWindowHints.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFormatLines[] = {
    "format.frame_rate = 44100.000000",
    "format.channel_count = 2",
    "format.format 36",
    "format.byte_order = 2",
    "format.buffer_size = 8192",
};
constexpr const char* kAlertLine = "gondavel_wubbix: alert: title \"\" text \"sorry, i couldn't launch more "
                                   "gondavel_wubbix.\\nmake sure to throw away all old "
                                   "versions,\\n or i will get confused!\" buttons \"yip!\"";
// The sound starts centred, and the first pan step can come only with the
// first pulse, 100 ms after the set-up that ends with starting the sound. The first buffer (1024 frames) is
// rendered as soon as playback starts, well before that pulse even on a
// loaded machine; later buffers wait for the server to take the earlier
// ones. The tone may begin with one silent frame.
constexpr size_t kCentredFrames = 1000;

size_t CountLines(const std::string& text, const std::string& line)
{
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);)
        count += each == line;
    return count;
}

// The servers every test shares. The display connection stays open for the
// whole suite, so the atom made at start-up is there for every window.
struct Servers {
    XvfbServer x;
    PulseServer pulse;
    Display* display = nullptr;
};

class ProgramTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Windows come and go under the test's feet; a call on one that has
        // just gone fails and says so in its result, rather than ending the
        // test process as Xlib's own handler would.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        try {
            sServers = new Servers;
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
            return;
        }
        sServers->display = XOpenDisplay(sServers->x.Display().c_str());
        // SDL sets the decoration hints only when the atom exists, as it
        // does wherever a window manager runs; this server has none.
        if (sServers->display != nullptr) {
            XInternAtom(sServers->display, "_MOTIF_WM_HINTS", False);
            XSync(sServers->display, False);
        }
    }
    static void TearDownTestSuite()
    {
        if (sServers != nullptr && sServers->display != nullptr)
            XCloseDisplay(sServers->display);
        delete sServers;
        sServers = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(sServers != nullptr && sServers->display != nullptr);
        fDisplay = sServers->display;
        // For sending messages to instances: the registry is found there.
        setenv("XDG_RUNTIME_DIR", fRuntime.Path().c_str(), 1);
    }
    void TearDown() override
    {
        if (fDisplay == nullptr)
            return;
        // The instances we started, then those they launched.
        for (auto& instance : fInstances)
            instance->Stop(SIGKILL);
        EXPECT_TRUE(KillLaunched(fRuntime.Path())) << "instances still running after SIGKILL";
        fInstances.clear();
        fRecorder.reset();
        // Leave the servers as the next test expects them: no window, no stream.
        EXPECT_TRUE(WaitUntil([&] { return TopLevelWindows().empty(); }, 10s));
        EXPECT_TRUE(WaitUntil([&] { return Pulse().CountSinkInputs() == 0; }, 10s));
        unsetenv("XDG_RUNTIME_DIR");
    }

    static PulseServer& Pulse() { return sServers->pulse; }

    // Starts `program` (by default the program as built) as a child, with
    // the test's runtime directory, display and sound server.
    ChildProcess& StartInstance(const std::string& program = PROGRAM_PATH)
    {
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.insert(environment.end(), { "PATH=/usr/bin:/bin",
            "DISPLAY=" + sServers->x.Display(), "HOME=" + fRuntime.Path(),
            "XDG_RUNTIME_DIR=" + fRuntime.Path(), "SDL_AUDIODRIVER=pulseaudio",
            "PULSE_SERVER=" + Pulse().Address(),
            "PULSE_CLIENTCONFIG=" + Pulse().Directory().File("client.conf") });
        std::string log = fRuntime.File("instance" + std::to_string(fInstances.size()) + ".log");
        fInstances.push_back(std::make_unique<ChildProcess>(std::vector<std::string> { program },
            environment, log));
        return *fInstances.back();
    }
    // Stdout and stderr of the n-th instance started here, and of all it
    // launched, which share them.
    std::string Output(size_t n = 0) const
    {
        return ReadFile(fRuntime.File("instance" + std::to_string(n) + ".log"));
    }

    // Whether the first instance's sound has started, which it does last
    // in its set-up: it prints the format then.
    bool WaitForSound() const
    {
        return WaitUntil([&] { return CountLines(Output(), kFormatLines[4]) > 0; }, 10s);
    }

    // The files in the program's registry directory.
    std::set<std::string> RegistryFiles() const
    {
        std::set<std::string> names;
        std::error_code error;
        fs::path root = fs::path(fRuntime.Path()) / "gw-roster";
        for (const auto& signature : fs::directory_iterator(root, error)) {
            for (const auto& file : fs::directory_iterator(signature.path(), error))
                names.insert(file.path().filename().string());
        }
        return names;
    }
    // The process ids of the registered instances that still run.
    std::vector<pid_t> RegisteredInstances() const
    {
        std::vector<pid_t> pids;
        for (const std::string& name : RegistryFiles()) {
            if (name.ends_with(".lock") && Alive(std::atoi(name.c_str())))
                pids.push_back(std::atoi(name.c_str()));
        }
        return pids;
    }

    // The process ids of the sound server's streams.
    static std::multiset<pid_t> StreamOwners()
    {
        std::multiset<pid_t> owners;
        std::istringstream lines(Pulse().ListSinkInputs());
        const std::string key = "application.process.id = \"";
        for (std::string line; std::getline(lines, line);) {
            if (size_t at = line.find(key); at != std::string::npos)
                owners.insert(std::atoi(line.c_str() + at + key.size()));
        }
        return owners;
    }

    // The mapped top-level windows.
    std::vector<Window> TopLevelWindows() const { return MappedTopLevelWindows(fDisplay); }
    std::string Title(Window window) const
    {
        char* name = nullptr;
        std::string title;
        if (XFetchName(fDisplay, window, &name) && name != nullptr) {
            title = name;
            XFree(name);
        }
        return title;
    }
    // The mapped top-level window titled `title`, waiting up to `timeout`
    // for it; 0 if there is none.
    Window FindWindow(const std::string& title, std::chrono::milliseconds timeout = 10s) const
    {
        Window found = 0;
        WaitUntil([&] {
            for (Window window : TopLevelWindows()) {
                if (Title(window) == title)
                    found = window;
            }
            return found != 0;
        }, timeout);
        return found;
    }
    // The window's frame on the screen: left, top, width, height.
    std::array<int, 4> Frame(Window window) const
    {
        Window root = 0, child = 0;
        int x = 0, y = 0;
        unsigned int width = 0, height = 0, border = 0, depth = 0;
        XGetGeometry(fDisplay, window, &root, &x, &y, &width, &height, &border, &depth);
        XTranslateCoordinates(fDisplay, window, root, 0, 0, &x, &y, &child);
        return { x, y, static_cast<int>(width), static_cast<int>(height) };
    }
    // The window's 21x21 pixels; empty if they can't be read.
    std::string Picture(Window window) const
    {
        XImage* image = XGetImage(fDisplay, window, 0, 0, 21, 21, AllPlanes, ZPixmap);
        if (image == nullptr)
            return {};
        std::string pixels;
        for (int y = 0; y < 21; y++) {
            for (int x = 0; x < 21; x++)
                pixels += std::to_string(XGetPixel(image, x, y) & 0xffffff) + " ";
        }
        XDestroyImage(image);
        return pixels;
    }
    // Whether the picture of `window` changes within 20 seconds of being
    // drawn. Colours change with the frequency steps, which come by chance on
    // each pulse; every 5 seconds the instance `pid` is made to roll its
    // chances again, so that a tiny one can't hold the picture still.
    bool PictureChanges(Window window, pid_t pid) const
    {
        // The window is drawn as soon as it is set up, which is when the
        // sound starts; the pause makes sure the first picture is no blank.
        std::this_thread::sleep_for(500ms);
        std::string first = Picture(window);
        auto roll = std::chrono::steady_clock::now() + 5s;
        return !first.empty() && WaitUntil([&] {
            if (std::chrono::steady_clock::now() > roll) {
                RosterServer::Send(app_signature, pid, MessageTarget::Window,
                    BMessage(INIT_SLIDERS));
                roll += 5s;
            }
            std::string now = Picture(window);
            return !now.empty() && now != first;
        }, 20s);
    }

    void Click(int x, int y) const
    {
        XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), x, y, CurrentTime);
        XTestFakeButtonEvent(fDisplay, 1, True, CurrentTime);
        XTestFakeButtonEvent(fDisplay, 1, False, CurrentTime);
        XSync(fDisplay, False);
    }
    void PressKey(KeySym key) const
    {
        KeyCode code = XKeysymToKeycode(fDisplay, key);
        XTestFakeKeyEvent(fDisplay, code, True, CurrentTime);
        XTestFakeKeyEvent(fDisplay, code, False, CurrentTime);
        XSync(fDisplay, False);
    }

    // Starts recording the sink; its samples are the sound of every stream.
    MonitorRecorder& Record()
    {
        fRecorder = std::make_unique<MonitorRecorder>(Pulse(), fRuntime.File("monitor.raw"));
        return *fRecorder;
    }
    // Whether a frame from `from` on sounds, waiting up to 10 seconds.
    bool SoundsFrom(size_t from) const
    {
        return WaitUntil([&] {
            std::vector<float> samples = fRecorder->Samples();
            for (size_t i = 2 * from; i < samples.size(); i++) {
                if (samples[i] != 0.0f)
                    return true;
            }
            return false;
        }, 10s);
    }

    static inline Servers* sServers = nullptr;
    TempDirectory fRuntime { "gw_program" };
    Display* fDisplay = nullptr;
    std::vector<std::unique_ptr<ChildProcess>> fInstances;
    std::unique_ptr<MonitorRecorder> fRecorder;
};

} // namespace

TEST_F(ProgramTest, FirstInstanceShowsABorderlessWindowBelowTheMiddleWithAChangingPicture)
{
    ChildProcess& instance = StartInstance();
    Window window = FindWindow("gondavel_wubbix");
    ASSERT_NE(window, 0u) << Output();
    ASSERT_TRUE(WaitForSound()) << Output();

    // S = (0, 0, 1023, 767): the corner (501.5, 393.5) rounds to (502, 394).
    std::array<int, 4> frame = Frame(window);
    EXPECT_EQ(frame, (std::array<int, 4> { 502, 394, 21, 21 }));

    EXPECT_EQ(MotifDecorations(fDisplay, window), 0L) << "decorations shown";

    EXPECT_TRUE(PictureChanges(window, instance.Pid()));
    EXPECT_TRUE(instance.IsRunning()) << Output();
}

TEST_F(ProgramTest, FirstInstancePrintsTheFormatOnceAndSoundsCentredUntilThePanMoves)
{
    MonitorRecorder& recorder = Record();
    size_t start = recorder.Frames();
    ChildProcess& instance = StartInstance();

    // The first frame of the tone, and enough after it.
    size_t first = 0;
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<float> samples = recorder.Samples();
        for (size_t i = 2 * start; i < samples.size(); i++) {
            if (samples[i] != 0.0f) {
                first = i / 2;
                return samples.size() / 2 >= first + kCentredFrames;
            }
        }
        return false;
    }, 20s)) << "no sound\n" << Output();
    // The null sink holds 32-bit floats, so the channels arrive exactly as
    // played: centred, they are the same.
    std::vector<float> samples = recorder.Samples();
    size_t firstUnequal = first;
    while (firstUnequal < samples.size() / 2
        && samples[2 * firstUnequal] == samples[2 * firstUnequal + 1])
        firstUnequal++;
    EXPECT_GE(firstUnequal - first, kCentredFrames) << "the tone starts at frame " << first;

    // Printed on the first buffer; still once after more have played.
    ASSERT_TRUE(recorder.WaitForFrames(first + PulseServer::kFrameRate, 10s));
    for (const char* line : kFormatLines)
        EXPECT_EQ(CountLines(Output(), line), 1u) << line << "\n" << Output();
    EXPECT_TRUE(instance.IsRunning()) << Output();
}

TEST_F(ProgramTest, ClicksLaunchDetachedInstancesThatFillTheGridRowByRow)
{
    StartInstance();
    ASSERT_NE(FindWindow("gondavel_wubbix"), 0u) << Output();

    // Each launch waits for the one before to show its window, so each new
    // instance counts all the others.
    const std::pair<const char*, std::array<int, 4>> next[] = {
        { "ondavel_wubbixg", { 524, 394, 21, 21 } },
        { "ndavel_wubbixgo", { 546, 394, 21, 21 } },
        { "davel_wubbixgon", { 502, 416, 21, 21 } },
    };
    for (const auto& [title, frame] : next) {
        SCOPED_TRACE(title);
        Click(512, 404);
        Window window = FindWindow(title);
        ASSERT_NE(window, 0u) << Output();
        EXPECT_EQ(Frame(window), frame);
    }
    ASSERT_EQ(TopLevelWindows().size(), 4u);
    std::vector<pid_t> instances = RegisteredInstances();
    ASSERT_EQ(instances.size(), 4u);
    // Not children of the first instance, nor of the test.
    for (pid_t pid : instances) {
        if (pid == fInstances[0]->Pid())
            continue;
        EXPECT_NE(Parent(pid), fInstances[0]->Pid());
        EXPECT_NE(Parent(pid), getpid());
    }
}

TEST_F(ProgramTest, ClickWithTheProgramFileGoneShowsOneAlertAndTheInstanceCarriesOn)
{
    // A copy of the program that is deleted once it runs.
    TempDirectory copyDirectory("gw_program_copy");
    std::string copy = copyDirectory.File("gondavel_wubbix");
    fs::copy_file(PROGRAM_PATH, copy);
    ChildProcess& instance = StartInstance(copy);
    Window window = FindWindow("gondavel_wubbix");
    ASSERT_NE(window, 0u) << Output();
    ASSERT_TRUE(WaitForSound()) << Output();
    ASSERT_EQ(unlink(copy.c_str()), 0);

    std::vector<Window> before = TopLevelWindows();
    Click(512, 404);
    auto boxes = [&] {
        std::vector<Window> added;
        for (Window each : TopLevelWindows()) {
            if (std::find(before.begin(), before.end(), each) == before.end())
                added.push_back(each);
        }
        return added;
    };
    ASSERT_TRUE(WaitUntil([&] { return !boxes().empty(); }, 10s)) << Output();
    // The box stays the only new window while it waits for the user.
    std::this_thread::sleep_for(500ms);
    std::vector<Window> shown = boxes();
    ASSERT_EQ(shown.size(), 1u);
    Window box = shown[0];
    EXPECT_EQ(Title(box), "");
    EXPECT_EQ(CountLines(Output(), kAlertLine), 1u) << Output();
    EXPECT_EQ(RegisteredInstances().size(), 1u) << "launched despite the missing file";

    // With no window manager to do it, the user gives the box the keyboard
    // (the instance took it when its window showed) and presses Return for
    // the one button.
    XSetInputFocus(fDisplay, box, RevertToPointerRoot, CurrentTime);
    PressKey(XK_Return);
    ASSERT_TRUE(WaitUntil([&] { return boxes().empty(); }, 10s)) << "the alert stayed";

    // Still there, still drawing and still sounding, and nothing else came
    // up on the way.
    MonitorRecorder& recorder = Record();
    EXPECT_TRUE(PictureChanges(window, instance.Pid()));
    EXPECT_TRUE(SoundsFrom(recorder.Frames()));
    EXPECT_TRUE(instance.IsRunning()) << Output();
    EXPECT_EQ(FindWindow("gondavel_wubbix", 0ms), window);
    EXPECT_EQ(TopLevelWindows().size(), 1u);
    EXPECT_EQ(CountLines(Output(), kAlertLine), 1u) << Output();
}

namespace {

// The ways of closing an instance from outside.
enum class CloseWay { WindowManager, Terminate, ControlTool };

std::string CloseWayName(const testing::TestParamInfo<CloseWay>& info)
{
    switch (info.param) {
    case CloseWay::WindowManager:
        return "WindowManager";
    case CloseWay::Terminate:
        return "Sigterm";
    case CloseWay::ControlTool:
        return "ControlTool";
    }
    return "Unknown";
}

class ProgramCloseTest : public ProgramTest, public testing::WithParamInterface<CloseWay> {
protected:
    void Close(pid_t pid, Window window)
    {
        switch (GetParam()) {
        case CloseWay::WindowManager: {
            XEvent event {};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = XInternAtom(fDisplay, "WM_PROTOCOLS", False);
            event.xclient.format = 32;
            event.xclient.data.l[0]
                = static_cast<long>(XInternAtom(fDisplay, "WM_DELETE_WINDOW", False));
            XSendEvent(fDisplay, window, False, NoEventMask, &event);
            XSync(fDisplay, False);
            break;
        }
        case CloseWay::Terminate:
            kill(pid, SIGTERM);
            break;
        case CloseWay::ControlTool: {
#ifdef CTL_PATH
            std::vector<std::string> environment = SanitizerEnvironment();
            environment.insert(environment.end(),
                { "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=" + fRuntime.Path() });
            ChildProcess::Result result = ChildProcess::Run(
                { CTL_PATH, "quit", std::to_string(pid) }, environment, 10s);
            EXPECT_TRUE(result.exited && result.exitCode == 0) << result.output;
#endif
            break;
        }
        }
    }
};

} // namespace

TEST_P(ProgramCloseTest, ClosingEndsThatInstanceCleanlyAndLeavesTheOtherRunning)
{
    ChildProcess& first = StartInstance();
    Window firstWindow = FindWindow("gondavel_wubbix");
    ASSERT_NE(firstWindow, 0u) << Output(0);
    ChildProcess& second = StartInstance();
    Window secondWindow = FindWindow("ondavel_wubbixg");
    ASSERT_NE(secondWindow, 0u) << Output(1);
    const std::multiset<pid_t> both { first.Pid(), second.Pid() };
    ASSERT_TRUE(WaitUntil([&] { return StreamOwners() == both; }, 10s)) << Pulse().ListSinkInputs();

    Close(first.Pid(), firstWindow);
    ASSERT_TRUE(first.WaitForExit(10s)) << Output(0);
    EXPECT_EQ(first.ExitCode(), 0) << Output(0);
    std::string prefix = std::to_string(first.Pid()) + ".";
    for (const std::string& name : RegistryFiles())
        EXPECT_FALSE(name.starts_with(prefix)) << name << " left in the registry";
    EXPECT_TRUE(WaitUntil([&] { return StreamOwners() == std::multiset<pid_t> { second.Pid() }; },
        10s)) << Pulse().ListSinkInputs();

    EXPECT_TRUE(second.IsRunning()) << Output(1);
    EXPECT_EQ(FindWindow("ondavel_wubbixg", 0ms), secondWindow);
    EXPECT_EQ(FindWindow("gondavel_wubbix", 0ms), 0u);
    EXPECT_EQ(RegisteredInstances(), std::vector<pid_t> { second.Pid() });
}

#ifdef CTL_PATH
INSTANTIATE_TEST_SUITE_P(Ways, ProgramCloseTest,
    testing::Values(CloseWay::WindowManager, CloseWay::Terminate, CloseWay::ControlTool),
    CloseWayName);
#else
INSTANTIATE_TEST_SUITE_P(Ways, ProgramCloseTest,
    testing::Values(CloseWay::WindowManager, CloseWay::Terminate), CloseWayName);
#endif
