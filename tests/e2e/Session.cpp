#include "Session.h"

#include "InstanceProcesses.h"
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

Session::Session(const std::string& display, const PulseServer& pulse)
    : fDisplay(display),
      fPulse(&pulse),
      fX(display)
{
}

Session::Session(const std::string& display)
    : fDisplay(display),
      fPulse(nullptr),
      fX(display)
{
}

Session::~Session()
{
    KillAll();
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
    environment.insert(environment.end(), { "PATH=/usr/bin:/bin", "DISPLAY=" + fDisplay,
        "HOME=" + fRuntime.Path(), "XDG_RUNTIME_DIR=" + fRuntime.Path(),
        std::string(kMarker) + "=" + fRuntime.Path() });
    if (fPulse != nullptr) {
        environment.insert(environment.end(), { "SDL_AUDIODRIVER=pulseaudio",
            "PULSE_SERVER=" + fPulse->Address(),
            "PULSE_CLIENTCONFIG=" + fPulse->Directory().File("client.conf") });
    }
    return environment;
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
        argv.empty() ? std::vector<std::string> { PROGRAM_PATH } : argv,
        Changed(Environment(), changes), log));
    return *fInstances.back();
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

std::set<std::string> Session::EntryFiles(pid_t pid)
{
    std::string prefix = std::to_string(pid);
    return { prefix + ".info", prefix + ".lock", prefix + ".sock" };
}

ChildProcess::Result Session::Ctl(const std::vector<std::string>& arguments,
    const std::vector<std::string>& changes) const
{
    std::vector<std::string> argv = { CTL_PATH };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ChildProcess::Run(argv, Changed(Environment(), changes), 20s);
}

std::map<pid_t, std::string> Session::Listed(const std::vector<std::string>& changes) const
{
    std::map<pid_t, std::string> listed;
    ChildProcess::Result result = Ctl({ "list" }, changes);
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.output;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line) && line != "PID\tINDEX\tTITLE") {
    }
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string pid, index;
        std::getline(fields, pid, '\t');
        std::getline(fields, index, '\t');
        listed[std::atoi(pid.c_str())] = index;
    }
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
    std::multiset<pid_t> owners;
    std::istringstream lines(Pulse().ListSinkInputs());
    const std::string key = "application.process.id = \"";
    for (std::string line; std::getline(lines, line);) {
        if (size_t at = line.find(key); at != std::string::npos)
            owners.insert(std::atoi(line.c_str() + at + key.size()));
    }
    return owners;
}

int Session::Connect(pid_t pid) const
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

bool Session::PictureChanges(pid_t pid) const
{
    Window window = fX.WindowOf(pid);
    std::string first = fX.Picture(window);
    auto roll = std::chrono::steady_clock::now() + 3s;
    return window != 0 && !first.empty() && WaitUntil([&] {
        if (std::chrono::steady_clock::now() > roll) {
            Ctl({ "reroll", "--mains", std::to_string(pid) });
            roll += 3s;
        }
        std::string now = fX.Picture(window);
        return !now.empty() && now != first;
    }, 20s);
}

testing::AssertionResult Session::WaitUntilSettled(std::chrono::milliseconds timeout,
    std::set<pid_t> required) const
{
    if (required.empty()) {
        for (const auto& instance : fInstances)
            required.insert(instance->Pid());
    }
    std::string missing;
    bool settled = WaitUntil([&] {
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
    }, timeout);
    if (settled)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not settled:\n" << missing;
}

void SessionTest::SetUpTestSuite()
{
    try {
        sX = new XvfbServer;
        sPulse = new PulseServer;
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
        return;
    }
    // SDL sets the decoration hints only when the atom exists, as it does
    // wherever a window manager runs; this server has none, and keeps its
    // atoms for as long as it runs.
    XClient client(sX->Display());
    if (client.Get() != nullptr) {
        XInternAtom(client.Get(), "_MOTIF_WM_HINTS", False);
        XSync(client.Get(), False);
    }
}

void SessionTest::TearDownTestSuite()
{
    delete sPulse;
    delete sX;
    sPulse = nullptr;
    sX = nullptr;
}

void SessionTest::SetUp()
{
    ASSERT_TRUE(sX != nullptr && sPulse != nullptr);
    fSession = std::make_unique<Session>(sX->Display(), *sPulse);
    ASSERT_TRUE(fSession->X().Get() != nullptr);
}

void SessionTest::TearDown()
{
    if (fSession == nullptr)
        return;
    sPulse->Freeze(false);
    fSession.reset();
    XClient client(sX->Display());
    EXPECT_TRUE(WaitUntil([&] { return client.TopLevelWindows().empty(); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return sPulse->CountSinkInputs() == 0; }, 10s))
        << sPulse->ListSinkInputs();
}
