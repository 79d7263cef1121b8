// The program when things go wrong around it, on a private X server and a
// private sound server: the display goes away under running instances;
// instances are killed while others are being launched; twenty start at the
// same moment; peers connect to an instance's message socket and stall,
// trickle or flood. Instances it launches are detached processes, not ours;
// each test finds them by their runtime directory and kills them when it
// ends, however it ends.

#include "ChildProcess.h"
#include "InstanceProcesses.h"
#include "PulseServer.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "XvfbServer.h"
#include "platform/Message.h"
#include "platform/X11Errors.h"
#include "ui/MessageCodes.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "XWindowHints.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// What an instance prints on its first sound buffer, on stdout.
constexpr const char* kLastFormatLine = "format.buffer_size = 8192";

// How many descriptors `pid` has open; -1 if they can't be read. Font files
// don't count: text drawing opens the face when it needs it and closes it
// when it has been idle, so that one comes and goes without leaking.
int CountDescriptors(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError).string().find("/fonts/") == std::string::npos)
            count++;
    }
    return error ? -1 : count;
}

// The count once start-up has settled: the same in two readings a second
// apart (the text libraries let go of their files a second after the first
// draw), or -1 if it doesn't settle within 10 seconds.
int SettledDescriptorCount(pid_t pid)
{
    int last = CountDescriptors(pid);
    for (int reading = 0; reading < 10; reading++) {
        std::this_thread::sleep_for(1s);
        int now = CountDescriptors(pid);
        if (now == last)
            return now;
        last = now;
    }
    return -1;
}

// What each descriptor of `pid` refers to, one per line, for messages.
std::string Descriptors(pid_t pid)
{
    std::string text;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        text += entry.path().filename().string() + " -> "
            + fs::read_symlink(entry.path(), error).string() + "\n";
    return text;
}

// The lines of `text` that are not the format the sound prints on stdout.
std::vector<std::string> OtherLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.starts_with("format."))
            lines.push_back(line);
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

class FaultTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Windows come and go under the test's feet; a call on one that has
        // just gone fails and says so in its result, rather than ending the
        // test process as Xlib's own handler would.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        try {
            sPulse = new PulseServer;
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    }
    static void TearDownTestSuite()
    {
        delete sPulse;
        sPulse = nullptr;
    }

    // A display of the test's own, so that it can take it away.
    void SetUp() override
    {
        ASSERT_TRUE(sPulse != nullptr);
        fX = std::make_unique<XvfbServer>();
        fDisplay = XOpenDisplay(fX->Display().c_str());
        ASSERT_TRUE(fDisplay != nullptr);
        // SDL sets the decoration hints only when the atom exists, as it
        // does wherever a window manager runs; this server has none.
        XInternAtom(fDisplay, "_MOTIF_WM_HINTS", False);
        XSync(fDisplay, False);
    }
    void TearDown() override
    {
        for (auto& instance : fInstances)
            instance->Stop(SIGKILL);
        EXPECT_TRUE(KillLaunched(fRuntime.Path())) << "instances still running after SIGKILL";
        fInstances.clear();
        if (fDisplay != nullptr)
            XCloseDisplay(fDisplay);
        fDisplay = nullptr;
        fX.reset();
        EXPECT_TRUE(WaitUntil([&] { return Pulse().CountSinkInputs() == 0; }, 10s))
            << Pulse().ListSinkInputs();
    }

    static PulseServer& Pulse() { return *sPulse; }

    // Ends the X server, after the test's own connection, which Xlib would
    // otherwise end the test process for.
    void LoseDisplay()
    {
        XCloseDisplay(fDisplay);
        fDisplay = nullptr;
        fX.reset();
    }

    std::vector<std::string> Environment() const
    {
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.insert(environment.end(), { "PATH=/usr/bin:/bin",
            "DISPLAY=" + fX->Display(), "HOME=" + fRuntime.Path(),
            "XDG_RUNTIME_DIR=" + fRuntime.Path(), "SDL_AUDIODRIVER=pulseaudio",
            "PULSE_SERVER=" + Pulse().Address(),
            "PULSE_CLIENTCONFIG=" + Pulse().Directory().File("client.conf") });
        return environment;
    }
    // Starts the program as a child, with the test's runtime directory,
    // display and sound server. Doesn't wait for it.
    ChildProcess& StartInstance()
    {
        std::string log = fRuntime.File("instance" + std::to_string(fInstances.size()) + ".log");
        fInstances.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string> { PROGRAM_PATH }, Environment(), log));
        return *fInstances.back();
    }
    // Stdout and stderr of the n-th instance started here, and of all it
    // launched, which share them.
    std::string Output(size_t n) const
    {
        return ReadFile(fRuntime.File("instance" + std::to_string(n) + ".log"));
    }
    std::string AllOutput() const
    {
        std::string text;
        for (size_t n = 0; n < fInstances.size(); n++)
            text += "instance " + std::to_string(n) + ":\n" + Output(n);
        return text;
    }

    // The instances that run. A process an instance forks shares its
    // environment until it execs something else (SDL's video start-up may
    // try to start a session bus, the roster forks to launch), so only
    // processes whose parent is none of ours count.
    std::set<pid_t> LiveInstances() const
    {
        std::vector<pid_t> ours = OurProcesses(fRuntime.Path());
        std::set<pid_t> live;
        for (pid_t pid : ours) {
            if (Alive(pid) && std::find(ours.begin(), ours.end(), Parent(pid)) == ours.end())
                live.insert(pid);
        }
        return live;
    }

    // The program's registry directory; empty before anyone registered.
    fs::path RegistryDirectory() const
    {
        std::error_code error;
        for (const auto& signature :
            fs::directory_iterator(fs::path(fRuntime.Path()) / "gw-roster", error))
            return signature.path();
        return {};
    }
    std::set<std::string> RegistryFiles() const
    {
        std::set<std::string> names;
        std::error_code error;
        for (const auto& file : fs::directory_iterator(RegistryDirectory(), error))
            names.insert(file.path().filename().string());
        return names;
    }
    // The files a registered instance `pid` has once it has set up.
    static std::set<std::string> EntryFiles(pid_t pid)
    {
        std::string prefix = std::to_string(pid);
        return { prefix + ".info", prefix + ".lock", prefix + ".sock" };
    }
    // The instances with a lock file, dead or alive.
    std::set<pid_t> Locked() const
    {
        std::set<pid_t> pids;
        for (const std::string& name : RegistryFiles()) {
            if (name.ends_with(".lock"))
                pids.insert(std::atoi(name.c_str()));
        }
        return pids;
    }

    // Runs the control tool with `arguments`; stdout and stderr together.
    ChildProcess::Result Ctl(const std::vector<std::string>& arguments) const
    {
        std::vector<std::string> argv = { CTL_PATH };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.insert(environment.end(),
            { "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=" + fRuntime.Path() });
        return ChildProcess::Run(argv, environment, 20s);
    }
    // The instances `list` shows, with their published index; empty (and
    // a failure) when the tool fails.
    std::map<pid_t, std::string> Listed() const
    {
        std::map<pid_t, std::string> listed;
        ChildProcess::Result result = Ctl({ "list" });
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.output;
        std::istringstream lines(result.output);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "PID\tINDEX\tTITLE");
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string pid, index;
            std::getline(fields, pid, '\t');
            std::getline(fields, index, '\t');
            listed[std::atoi(pid.c_str())] = index;
        }
        return listed;
    }
    std::set<pid_t> ListedPids() const
    {
        std::set<pid_t> pids;
        for (const auto& [pid, index] : Listed())
            pids.insert(pid);
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

    // The mapped top-level windows, by the process that made them.
    std::map<pid_t, Window> WindowsByPid() const { return MappedWindowsByPid(fDisplay); }
    // The mapped window of `pid`, waiting up to 20 seconds; 0 if none.
    Window WindowOf(pid_t pid) const
    {
        Window found = 0;
        WaitUntil([&] {
            std::map<pid_t, Window> windows = WindowsByPid();
            auto it = windows.find(pid);
            found = it != windows.end() ? it->second : 0;
            return found != 0;
        }, 20s);
        return found;
    }
    // The middle of the window on the screen.
    std::array<int, 2> Middle(Window window) const
    {
        Window root = 0, child = 0;
        int x = 0, y = 0;
        unsigned int width = 0, height = 0, border = 0, depth = 0;
        XGetGeometry(fDisplay, window, &root, &x, &y, &width, &height, &border, &depth);
        XTranslateCoordinates(fDisplay, window, root, 0, 0, &x, &y, &child);
        return { x + static_cast<int>(width) / 2, y + static_cast<int>(height) / 2 };
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
    // Whether the picture of the window of `pid` changes within 20 seconds.
    // Colours change with the frequency steps, which come by chance on each
    // pulse; every 3 seconds the instance is made to roll its chances again,
    // through the control tool, so that a tiny one can't hold it still.
    bool PictureChanges(pid_t pid) const
    {
        Window window = WindowOf(pid);
        std::string first = Picture(window);
        auto roll = std::chrono::steady_clock::now() + 3s;
        return window != 0 && !first.empty() && WaitUntil([&] {
            if (std::chrono::steady_clock::now() > roll) {
                Ctl({ "reroll", "--mains", std::to_string(pid) });
                roll += 3s;
            }
            std::string now = Picture(window);
            return !now.empty() && now != first;
        }, 20s);
    }

    // A connection to the message socket of the instance `pid`; -1 if
    // there is none. Sending blocks for at most 5 seconds.
    int Connect(pid_t pid) const
    {
        std::string path = (RegistryDirectory() / (std::to_string(pid) + ".sock")).string();
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path))
            return -1;
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        timeval timeout { 5, 0 };
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0
            || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        return fd;
    }

    void Click(std::array<int, 2> where) const
    {
        XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), where[0], where[1], CurrentTime);
        XTestFakeButtonEvent(fDisplay, 1, True, CurrentTime);
        XTestFakeButtonEvent(fDisplay, 1, False, CurrentTime);
        XSync(fDisplay, False);
    }

    // Waits up to `timeout` until every live instance has set up: it is
    // registered and has published its description, its window is mapped
    // and its sound plays. Those in
    // `required` must be among them, and no dead one may be listed. On
    // failure, says what was missing last.
    testing::AssertionResult WaitUntilSettled(std::chrono::milliseconds timeout,
        const std::set<pid_t>& required) const
    {
        std::string missing;
        bool settled = WaitUntil([&] {
            std::set<pid_t> live = LiveInstances();
            std::map<pid_t, std::string> listed = Listed();
            std::map<pid_t, Window> windows = WindowsByPid();
            std::multiset<pid_t> streams = StreamOwners();
            std::ostringstream text;
            for (pid_t pid : required) {
                if (live.count(pid) == 0)
                    text << pid << " is not running\n";
            }
            for (const auto& [pid, index] : listed) {
                if (live.count(pid) == 0)
                    text << pid << " is listed but not running\n";
            }
            for (pid_t pid : live) {
                auto it = listed.find(pid);
                if (it == listed.end() || it->second == "-")
                    text << pid << " is not listed with an index\n";
                if (windows.count(pid) == 0)
                    text << pid << " shows no window\n";
                if (streams.count(pid) == 0)
                    text << pid << " plays no sound\n";
            }
            missing = text.str();
            return missing.empty();
        }, timeout);
        if (settled)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "not settled:\n" << missing;
    }
    // The same for the instances started here, which must all run.
    testing::AssertionResult WaitUntilSettled(std::chrono::milliseconds timeout) const
    {
        std::set<pid_t> started;
        for (const auto& instance : fInstances)
            started.insert(instance->Pid());
        return WaitUntilSettled(timeout, started);
    }

    static inline PulseServer* sPulse = nullptr;
    TempDirectory fRuntime { "gw_fault" };
    std::unique_ptr<XvfbServer> fX;
    Display* fDisplay = nullptr;
    std::vector<std::unique_ptr<ChildProcess>> fInstances;
};

} // namespace

TEST_F(FaultTest, LosingTheDisplayEndsEveryInstanceAtOnceWithOneLineAndNoTrace)
{
    for (int i = 0; i < 3; i++)
        StartInstance();
    ASSERT_TRUE(WaitUntilSettled(60s)) << AllOutput();
    ASSERT_EQ(LiveInstances().size(), 3u) << AllOutput();
    // The sound has printed its format, so all that follows is the fault's.
    for (size_t n = 0; n < 3; n++)
        ASSERT_TRUE(WaitUntil([&] { return Output(n).find(kLastFormatLine) != std::string::npos; },
            10s)) << Output(n);
    std::vector<std::string> before;
    for (size_t n = 0; n < 3; n++)
        before.push_back(Output(n));
    const std::string display = fX->Display();

    LoseDisplay();

    for (size_t n = 0; n < 3; n++) {
        ChildProcess& instance = *fInstances[n];
        SCOPED_TRACE("instance " + std::to_string(instance.Pid()));
        ASSERT_TRUE(instance.WaitForExit(5s)) << "still running; state " << State(instance.Pid());
        EXPECT_EQ(instance.ExitCode(), X11Errors::kLostDisplayExitStatus);
        EXPECT_EQ(Output(n).substr(before[n].size()),
            "gondavel_wubbix: couldn't keep the window: lost the connection to display " + display
                + "\n");
        for (const std::string& name : RegistryFiles())
            EXPECT_FALSE(name.starts_with(std::to_string(instance.Pid()) + "."))
                << name << " left in the registry";
    }
    EXPECT_EQ(RegistryFiles(), std::set<std::string> { "executable" });
    EXPECT_TRUE(WaitUntil([&] { return StreamOwners().empty(); }, 10s))
        << Pulse().ListSinkInputs();
    EXPECT_EQ(LiveInstances(), std::set<pid_t> {});
}

TEST_F(FaultTest, KillingInstancesWhileOthersLaunchLeavesAnExactRosterAndNoLeaks)
{
    // Started one after another, so the first two take the places of
    // indexes 0 and 1 for good: every later instance counts them and lands
    // elsewhere. They are the ones clicked, and never killed.
    for (int i = 0; i < 4; i++) {
        pid_t pid = StartInstance().Pid();
        ASSERT_TRUE(WaitUntil([&] {
            std::map<pid_t, std::string> listed = Listed();
            return listed.count(pid) != 0 && listed[pid] == std::to_string(i);
        }, 20s)) << AllOutput();
    }
    ASSERT_TRUE(WaitUntilSettled(30s)) << AllOutput();
    const std::array<pid_t, 2> clicked = { fInstances[0]->Pid(), fInstances[1]->Pid() };
    std::map<pid_t, int> descriptors;
    for (pid_t pid : clicked) {
        descriptors[pid] = SettledDescriptorCount(pid);
        ASSERT_GT(descriptors[pid], 0);
    }
    const std::map<pid_t, std::string> descriptorsBefore
        = { { clicked[0], Descriptors(clicked[0]) }, { clicked[1], Descriptors(clicked[1]) } };
    std::array<std::array<int, 2>, 2> places;
    for (size_t i = 0; i < 2; i++) {
        Window window = WindowOf(clicked[i]);
        ASSERT_NE(window, 0u);
        places[i] = Middle(window);
    }

    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 generator(seed);
    std::set<pid_t> killed;
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::set<pid_t> known = LiveInstances();
        Click(places[round % 2]);
        // Whoever is not clicked may go, also one still setting up; one
        // killed before may not have finished dying yet.
        std::vector<pid_t> others;
        for (pid_t pid : known) {
            if (pid != clicked[0] && pid != clicked[1] && killed.count(pid) == 0)
                others.push_back(pid);
        }
        if (!others.empty()) {
            pid_t victim = others[generator() % others.size()];
            ASSERT_EQ(kill(victim, SIGKILL), 0);
            killed.insert(victim);
        }
        // The launched instance has started when it holds a lock.
        ASSERT_TRUE(WaitUntil([&] {
            for (pid_t pid : Locked()) {
                if (known.count(pid) == 0 && Alive(pid))
                    return true;
            }
            return false;
        }, 20s)) << AllOutput();
    }
    EXPECT_EQ(killed.size(), 10u);
    // No zombies: those started here are reaped by the test, those
    // launched by whoever they were handed to, init or a subreaper.
    EXPECT_TRUE(WaitUntil([&] {
        for (auto& instance : fInstances)
            instance->IsRunning();
        return std::none_of(killed.begin(), killed.end(), [](pid_t pid) { return State(pid) != 0; });
    }, 10s)) << "killed instances left as zombies";

    ASSERT_TRUE(WaitUntilSettled(60s, { clicked[0], clicked[1] })) << AllOutput();
    std::set<pid_t> live = LiveInstances();
    // Each round launched one and killed one.
    EXPECT_EQ(live.size(), 4u);
    EXPECT_EQ(ListedPids(), live);
    // Listing has removed what the killed ones left behind.
    std::set<std::string> expected = { "executable" };
    for (pid_t pid : live)
        expected.merge(EntryFiles(pid));
    EXPECT_EQ(RegistryFiles(), expected);

    for (pid_t pid : AllProcesses()) {
        pid_t parent = Parent(pid);
        if (live.count(parent) != 0)
            ADD_FAILURE() << "instance " << parent << " has a child " << pid << " in state "
                          << State(pid);
    }
    for (pid_t pid : clicked) {
        EXPECT_EQ(CountDescriptors(pid), descriptors[pid])
            << "before:\n" << descriptorsBefore.at(pid) << "after:\n" << Descriptors(pid);
    }
    // The survivors still answer, and end cleanly.
    for (size_t i = 0; i < 2; i++) {
        ChildProcess& instance = *fInstances[i];
        EXPECT_TRUE(instance.IsRunning()) << Output(i);
        kill(instance.Pid(), SIGTERM);
        ASSERT_TRUE(instance.WaitForExit(20s)) << Output(i);
        EXPECT_EQ(instance.ExitCode(), 0) << Output(i);
    }
    for (size_t n = 0; n < fInstances.size(); n++)
        EXPECT_EQ(OtherLines(Output(n)), std::vector<std::string> {}) << Output(n);
}

TEST_F(FaultTest, TwentyInstancesStartedAtOnceAllRunRegisterAndShowTheirWindows)
{
    for (int i = 0; i < 20; i++)
        StartInstance();
    std::set<pid_t> started;
    for (const auto& instance : fInstances)
        started.insert(instance->Pid());

    // Twenty connections at once overflow the sound server's listening
    // queue; the ones it turns away try again, so every instance sounds.
    ASSERT_TRUE(WaitUntilSettled(90s, started)) << AllOutput();
    // A few seconds on, all still run.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(LiveInstances(), started) << AllOutput();
    EXPECT_EQ(ListedPids(), started);
    EXPECT_EQ(WindowsByPid().size(), 20u);
    std::set<std::string> expected = { "executable" };
    for (pid_t pid : started)
        expected.merge(EntryFiles(pid));
    EXPECT_EQ(RegistryFiles(), expected);

    for (const auto& instance : fInstances)
        kill(instance->Pid(), SIGTERM);
    for (size_t n = 0; n < fInstances.size(); n++) {
        SCOPED_TRACE("instance " + std::to_string(n));
        ASSERT_TRUE(fInstances[n]->WaitForExit(30s)) << Output(n);
        EXPECT_EQ(fInstances[n]->ExitCode(), 0) << Output(n);
        EXPECT_EQ(OtherLines(Output(n)), std::vector<std::string> {}) << Output(n);
    }
    EXPECT_EQ(RegistryFiles(), std::set<std::string> { "executable" });
}

namespace {

// What a peer on an instance's message socket does.
enum class Peer {
    Silent,        // connects and sends nothing
    ByteASecond,   // sends one byte, then another a second later, ...
    JunkMegabyte,  // 1 MB in the largest packets it can, then 1 MB in one send
    RerollFlood,   // 1 MB of well-formed requests to roll the settings again
};

std::string PeerName(const testing::TestParamInfo<Peer>& info)
{
    switch (info.param) {
    case Peer::Silent:
        return "Silent";
    case Peer::ByteASecond:
        return "ByteASecond";
    case Peer::JunkMegabyte:
        return "JunkMegabyte";
    case Peer::RerollFlood:
        return "RerollFlood";
    }
    return "Unknown";
}

constexpr size_t kMegabyte = 1 << 20;

// Sends `packet` again and again until a send fails or `total` bytes have
// gone; how many bytes went.
size_t SendPackets(int fd, const std::vector<uint8>& packet, size_t total)
{
    size_t sent = 0;
    while (sent < total) {
        if (send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
            break;
        sent += packet.size();
    }
    return sent;
}

class SlowPeerTest : public FaultTest, public testing::WithParamInterface<Peer> {
protected:
    // Plays the peer on `fd`; returns how many connections it opened in all.
    int Play(int fd, pid_t pid)
    {
        switch (GetParam()) {
        case Peer::Silent:
            // Said nothing for long enough, it is let go.
            EXPECT_TRUE(WaitUntil([&] {
                char byte;
                return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
            }, 20s)) << "a silent peer is kept forever";
            return 1;
        case Peer::ByteASecond: {
            // A lone byte is no message: after the first, the peer is cut off.
            int sent = 0;
            for (; sent < 5; sent++) {
                uint8 byte = 0;
                if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1)
                    break;
                std::this_thread::sleep_for(1s);
            }
            EXPECT_LT(sent, 5) << "the trickle was never cut off";
            return 1;
        }
        case Peer::JunkMegabyte: {
            std::vector<uint8> packet(64 * 1024, 0xa5);
            EXPECT_LT(SendPackets(fd, packet, kMegabyte), kMegabyte) << "the junk was all taken";
            // One send of it all: more than a socket buffer holds.
            int whole = Connect(pid);
            EXPECT_GE(whole, 0);
            std::vector<uint8> megabyte(kMegabyte, 0x5a);
            ssize_t sent = send(whole, megabyte.data(), megabyte.size(), MSG_NOSIGNAL);
            EXPECT_NE(sent, static_cast<ssize_t>(megabyte.size()));
            close(whole);
            return 2;
        }
        case Peer::RerollFlood: {
            std::vector<uint8> packet = BMessage(INIT_SLIDERS).Flatten();
            packet.insert(packet.begin(), 1); // to the window
            EXPECT_EQ(SendPackets(fd, packet, kMegabyte) / packet.size(),
                (kMegabyte + packet.size() - 1) / packet.size()) << "the flood was cut short";
            return 1;
        }
        }
        return 0;
    }
};

} // namespace

TEST_P(SlowPeerTest, InstanceKeepsDrawingStaysRegisteredAndEndsCleanly)
{
    ChildProcess& instance = StartInstance();
    pid_t pid = instance.Pid();
    ASSERT_TRUE(WaitUntilSettled(30s)) << Output(0);
    ASSERT_TRUE(WaitUntil([&] { return Output(0).find(kLastFormatLine) != std::string::npos; },
        10s)) << Output(0);
    size_t before = Output(0).size();
    int descriptors = SettledDescriptorCount(pid);
    ASSERT_GT(descriptors, 0);

    int peer = Connect(pid);
    ASSERT_GE(peer, 0) << strerror(errno);
    int connections = 0;
    std::thread player([&] { connections = Play(peer, pid); });

    // Meanwhile the window goes on pulsing and drawing, and other senders
    // get through: a message for an unknown target earns its one line.
    EXPECT_TRUE(PictureChanges(pid)) << Output(0);
    int other = Connect(pid);
    EXPECT_GE(other, 0);
    uint8 unknown = 7;
    EXPECT_EQ(send(other, &unknown, 1, MSG_NOSIGNAL), 1);
    const std::string unknownLine
        = "gondavel_wubbix: couldn't accept a message: it is for an unknown target (7)";
    EXPECT_TRUE(WaitUntil([&] {
        return Output(0).find(unknownLine) != std::string::npos;
    }, 10s)) << Output(0);
    close(other);

    player.join();
    close(peer);
    EXPECT_TRUE(PictureChanges(pid)) << Output(0);
    EXPECT_EQ(ListedPids(), std::set<pid_t> { pid });
    EXPECT_TRUE(instance.IsRunning()) << Output(0);
    // Every connection is closed once its peer has gone.
    EXPECT_TRUE(WaitUntil([&] { return CountDescriptors(pid) == descriptors; }, 10s))
        << "descriptors before: " << descriptors << "\nnow:\n" << Descriptors(pid);

    kill(pid, SIGTERM);
    ASSERT_TRUE(instance.WaitForExit(20s)) << Output(0);
    EXPECT_EQ(instance.ExitCode(), 0) << Output(0);
    // At most one line for each connection that sent something wrong, and
    // the control tool's own requests earn none.
    std::vector<std::string> lines = OtherLines(Output(0).substr(before));
    EXPECT_LE(lines.size(), static_cast<size_t>(connections) + 1) << Joined(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), unknownLine), 1) << Joined(lines);
    EXPECT_EQ(RegistryFiles(), std::set<std::string> { "executable" });
}

INSTANTIATE_TEST_SUITE_P(Peers, SlowPeerTest,
    testing::Values(Peer::Silent, Peer::ByteASecond, Peer::JunkMegabyte, Peer::RerollFlood),
    PeerName);
