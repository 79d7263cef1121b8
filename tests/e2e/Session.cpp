#include "Session.h"

#include "InstanceProcesses.h"
#include "PipeWireServer.h"
#include "PulseServer.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The variable that marks the session's processes.
constexpr const char* kMarker = "GW_E2E_SESSION";

} // namespace

Session::Session(const std::string& display, const SoundServer* sound)
    : fDisplay(display),
      fSound(sound),
      fX(display)
{
}

Session::~Session()
{
    KillAll();
    if (fJoined && fOwnRuntime)
        setenv("XDG_RUNTIME_DIR", fOwnRuntime->c_str(), 1);
    else if (fJoined)
        unsetenv("XDG_RUNTIME_DIR");
}

void Session::KillAll()
{
    for (auto& instance : fInstances)
        instance->Stop(SIGKILL);
    EXPECT_TRUE(KillProcessesWith(std::string(kMarker) + "=" + fRuntime.Path()))
        << "instances still running after SIGKILL";
}

std::vector<std::string> Session::Environment() const
{
    std::vector<std::string> environment = SanitizerEnvironment();
    environment.insert(environment.end(), { "PATH=/usr/bin:/bin", "HOME=" + fRuntime.Path(), "XDG_RUNTIME_DIR=" + fRuntime.Path(), std::string(kMarker) + "=" + fRuntime.Path() });
    if (!fDisplay.empty())
        environment.push_back("DISPLAY=" + fDisplay);
    if (fSound != nullptr) {
        for (const std::string& variable : fSound->InstanceEnvironment())
            environment.push_back(variable);
    }
    return Changed(environment, fChanges);
}

std::vector<std::string> Session::Changed(std::vector<std::string> environment,
    const std::vector<std::string>& changes) const
{
    for (const std::string& change : changes) {
        std::string name = change.substr(0, change.find('='));
        std::erase_if(environment, [&](const std::string& variable) {
            return variable.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos)
            environment.push_back(change);
    }
    return environment;
}

ChildProcess& Session::StartInstance(const std::vector<std::string>& changes,
    const std::vector<std::string>& argv)
{
    std::string log = fRuntime.File("instance" + std::to_string(fInstances.size()) + ".log");
    fInstances.push_back(std::make_unique<ChildProcess>(
        argv.empty() ? std::vector<std::string> { fProgram } : argv,
        Changed(Environment(), changes), log));
    return *fInstances.back();
}

testing::AssertionResult Session::StartOneAfterAnother(size_t count,
    std::chrono::milliseconds timeout)
{
    for (size_t i = 0; i < count; i++) {
        size_t n = Started();
        pid_t pid = StartInstance().Pid();
        auto indexed = [&] {
            std::map<pid_t, std::string> listed = Listed();
            return listed.count(pid) != 0 && listed[pid] == std::to_string(n);
        };
        if (!WaitUntil(indexed, timeout))
            return testing::AssertionFailure() << "instance " << n << " (" << pid
                                               << ") is not listed with index " << n << "\n" + Output(n);
    }
    return testing::AssertionSuccess();
}

std::string Session::Output(size_t n) const
{
    return ReadFile(fRuntime.File("instance" + std::to_string(n) + ".log"));
}

std::string Session::AllOutput() const
{
    std::string text;
    for (size_t n = 0; n < fInstances.size(); n++)
        text += "instance " + std::to_string(n) + ":\n" + Output(n);
    return text;
}

bool Session::Says(size_t n, const std::string& text, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return Output(n).find(text) != std::string::npos; }, timeout);
}

testing::AssertionResult Session::Exits(ChildProcess& instance, int code,
    std::chrono::milliseconds timeout) const
{
    testing::AssertionResult result = testing::AssertionSuccess();
    if (!instance.WaitForExit(timeout))
        result = testing::AssertionFailure() << instance.Pid() << " still runs, in state "
                                             << State(instance.Pid());
    else if (instance.ExitCode() != code)
        result = testing::AssertionFailure() << instance.Pid() << " ended with status "
                                             << instance.ExitCode() << ", not " << code;
    for (size_t n = 0; n < fInstances.size() && !result; n++) {
        if (fInstances[n].get() == &instance)
            result << "; it printed:\n" + Output(n);
    }
    return result;
}

testing::AssertionResult Session::EndsCleanly(ChildProcess& instance,
    std::chrono::milliseconds timeout) const
{
    kill(instance.Pid(), SIGTERM);
    return Exits(instance, 0, timeout);
}

std::string Session::ProgramCopy()
{
    if (fCopyDirectory == nullptr) {
        fCopyDirectory = std::make_unique<TempDirectory>("gw_program_copy");
        fs::copy_file(fProgram, fCopyDirectory->File("gondavel_wubbix"));
    }
    return fCopyDirectory->File("gondavel_wubbix");
}

void Session::JoinFromThisProcess()
{
    if (!fJoined) {
        if (const char* own = getenv("XDG_RUNTIME_DIR"))
            fOwnRuntime = own;
        fJoined = true;
    }
    setenv("XDG_RUNTIME_DIR", fRuntime.Path().c_str(), 1);
}

std::set<pid_t> Session::LiveInstances() const
{
    std::vector<pid_t> ours = ProcessesWith(std::string(kMarker) + "=" + fRuntime.Path());
    std::set<pid_t> live;
    for (pid_t pid : ours) {
        if (Alive(pid) && std::find(ours.begin(), ours.end(), Parent(pid)) == ours.end())
            live.insert(pid);
    }
    return live;
}

fs::path Session::RegistryDirectory(const fs::path& root) const
{
    std::error_code error;
    fs::path where = root.empty() ? fs::path(fRuntime.Path()) / "gw-roster" : root;
    for (const auto& signature : fs::directory_iterator(where, error))
        return signature.path();
    return {};
}

std::set<std::string> Session::RegistryFiles(const fs::path& root) const
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(RegistryDirectory(root), error))
        names.insert(file.path().filename().string());
    return names;
}

std::set<std::string> Session::RegistryFilesOf(pid_t pid) const
{
    std::set<std::string> names = RegistryFiles();
    std::erase_if(names, [&](const std::string& name) {
        return !name.starts_with(std::to_string(pid) + ".");
    });
    return names;
}

std::string Session::RegistryFile(pid_t pid, const std::string& extension) const
{
    return (RegistryDirectory() / (std::to_string(pid) + extension)).string();
}

std::set<pid_t> Session::Locked() const
{
    std::set<pid_t> pids;
    for (const std::string& name : RegistryFiles()) {
        if (name.ends_with(".lock"))
            pids.insert(std::atoi(name.c_str()));
    }
    return pids;
}

std::set<std::string> Session::EntryFiles(pid_t pid)
{
    std::string prefix = std::to_string(pid);
    return { prefix + ".info", prefix + ".lock", prefix + ".sock" };
}

CtlResult Session::Ctl(const std::vector<std::string>& arguments) const
{
    // The shell keeps the tool's stderr apart, in a file of each run's own.
    std::string errors = fRuntime.File("ctl" + std::to_string(fRuns++) + ".err");
    std::vector<std::string> argv = { "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>'" + errors + "'",
        fCtl };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess::Result result = ChildProcess::Run(argv, Environment(), 20s);
    EXPECT_TRUE(result.exited) << "the control tool hung: " << result.output;
    return { result.exited, result.exitCode, result.output, ReadFile(errors) };
}

std::vector<ListedInstance> Session::List() const
{
    CtlResult result = Ctl({ "list" });
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines = Lines(result.out);
    EXPECT_TRUE(!lines.empty() && lines[0] == "PID\tINDEX\tTITLE") << result.out;
    std::vector<ListedInstance> listed;
    for (size_t n = 1; n < lines.size(); n++) {
        std::istringstream fields(lines[n]);
        std::string pid;
        ListedInstance& instance = listed.emplace_back();
        std::getline(fields, pid, '\t');
        std::getline(fields, instance.index, '\t');
        std::getline(fields, instance.title);
        instance.pid = std::atoi(pid.c_str());
    }
    return listed;
}

std::map<pid_t, std::string> Session::Listed() const
{
    std::map<pid_t, std::string> listed;
    for (const ListedInstance& instance : List())
        listed[instance.pid] = instance.index;
    return listed;
}

std::set<pid_t> Session::ListedPids() const
{
    std::set<pid_t> pids;
    for (const auto& [pid, index] : Listed())
        pids.insert(pid);
    return pids;
}

std::multiset<pid_t> Session::StreamOwners() const
{
    return fSound->StreamOwners();
}

bool Session::Sounds(std::chrono::milliseconds timeout) const
{
    return fSound->SoundsWithin(fRuntime.File("sink" + std::to_string(fRuns++) + ".rec"), timeout);
}

int Session::Connect(pid_t pid) const
{
    return ConnectToSocket(RegistryFile(pid, ".sock"));
}

int ConnectToSocket(const std::string& path)
{
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

bool SendPacket(const std::string& path, const std::vector<uint8_t>& packet)
{
    int fd = ConnectToSocket(path);
    ssize_t size = static_cast<ssize_t>(packet.size());
    bool sent = fd >= 0 && send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == size;
    if (fd >= 0)
        close(fd);
    return sent;
}

void PrintTo(const ListedInstance& instance, std::ostream* out)
{
    *out << "{" << instance.pid << " " << instance.index << " " << instance.title << "}";
}

bool Session::PictureChanges(pid_t pid) const
{
    Window window = fX.WindowOf(pid);
    std::string first = fX.Picture(window);
    auto roll = std::chrono::steady_clock::now() + 3s;
    auto changed = [&] {
        if (std::chrono::steady_clock::now() > roll) {
            Ctl({ "reroll", "--mains", std::to_string(pid) });
            roll += 3s;
        }
        std::string now = fX.Picture(window);
        return !now.empty() && now != first;
    };
    return window != 0 && !first.empty() && WaitUntil(changed, 20s);
}

bool Session::WatchPicture(pid_t pid,
    const std::function<bool(const std::vector<PictureChange>&)>& enough,
    std::vector<PictureChange>* changes, std::chrono::milliseconds timeout) const
{
    PictureSampler sampler(fX.Get(), { fX.WindowOf(pid) });
    auto seen = [&] {
        size_t before = sampler.Changes(0).size();
        sampler.Sample(2s);
        if (enough(sampler.Changes(0)))
            return true;
        if (sampler.Changes(0).size() - before < 4)
            Ctl({ "reroll", "--mains", std::to_string(pid) });
        return false;
    };
    bool held = WaitUntil(seen, timeout, 0ms);
    if (changes != nullptr)
        *changes = sampler.Changes(0);
    return held;
}

testing::AssertionResult Session::WaitUntilSettled(std::chrono::milliseconds timeout,
    std::set<pid_t> required) const
{
    if (required.empty()) {
        for (const auto& instance : fInstances)
            required.insert(instance->Pid());
    }
    std::string missing;
    auto settled = [&] {
        std::set<pid_t> live = LiveInstances();
        std::map<pid_t, std::string> listed = Listed();
        std::map<pid_t, Window> windows = fX.WindowsByPid();
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
    };
    if (WaitUntil(settled, timeout))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not settled:\n" + missing;
}

SessionTest::SessionTest(XServer x, Sound sound)
    : fXServer(x), fSound(sound)
{
}

SessionTest::~SessionTest() = default;

namespace {

// An X server for sessions. SDL sets the decoration hints only when their
// atom exists, as it does wherever a window manager runs; this server has
// none, so the atom is made at once.
std::unique_ptr<XvfbServer> StartX()
{
    auto server = std::make_unique<XvfbServer>();
    XClient(server->Display()).CreateDecorationHintsAtom();
    return server;
}

} // namespace

void SessionTest::TearDownTestSuite()
{
    delete sPulse;
    delete sX;
    sPulse = nullptr;
    sX = nullptr;
}

void SessionTest::SetUp()
{
    if (fSound == Sound::OwnPipeWire && !PipeWireServer::Installed())
        GTEST_SKIP() << PipeWireServer::kNotInstalled;
    const SoundServer* sound = nullptr;
    std::string display;
    try {
        if (fXServer == XServer::Shared && sX == nullptr)
            sX = StartX().release();
        if (fXServer == XServer::Own)
            fOwnX = StartX();
        if (fSound == Sound::SharedPulse && sPulse == nullptr)
            sPulse = new PulseServer;
        if (fSound == Sound::OwnPulse)
            fOwnPulse = std::make_unique<PulseServer>();
        if (fSound == Sound::OwnPipeWire)
            fOwnPipeWire = std::make_unique<PipeWireServer>();
    } catch (const std::exception& error) {
        FAIL() << error.what();
    }
    if (fXServer != XServer::Absent)
        display = Xvfb().Display();
    if (fSound == Sound::SharedPulse || fSound == Sound::OwnPulse)
        sound = &Pulse();
    else if (fSound == Sound::OwnPipeWire)
        sound = fOwnPipeWire.get();
    fSession = std::make_unique<Session>(display, sound);
    ASSERT_TRUE(fXServer == XServer::Absent || fSession->X().Get() != nullptr);
}

void SessionTest::TearDown()
{
    if (fSession == nullptr)
        return;
    if (fSound == Sound::SharedPulse)
        sPulse->Freeze(false);
    fSession.reset();
    // What the suite shares must be as the next test expects it; what the
    // test owns goes with it.
    if (fXServer == XServer::Shared) {
        XClient client(sX->Display());
        EXPECT_TRUE(WaitUntil([&] { return client.TopLevelWindows().empty(); }, 10s));
    }
    if (fSound == Sound::SharedPulse) {
        EXPECT_TRUE(WaitUntil([&] { return sPulse->CountSinkInputs() == 0; }, 10s))
            << sPulse->ListSinkInputs();
    }
    fOwnPipeWire.reset();
    fOwnPulse.reset();
    fOwnX.reset();
}

XvfbServer& SessionTest::Xvfb()
{
    return fOwnX != nullptr ? *fOwnX : *sX;
}

PulseServer& SessionTest::Pulse()
{
    return fOwnPulse != nullptr ? *fOwnPulse : *sPulse;
}

PipeWireServer& SessionTest::PipeWire()
{
    return *fOwnPipeWire;
}

void SessionTest::LoseDisplay()
{
    fSession->X().Close();
    fOwnX.reset();
}
