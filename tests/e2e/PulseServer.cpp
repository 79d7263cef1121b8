#include "PulseServer.h"

#include "MonitorRecorder.h"
#include "PipeWireServer.h"
#include "TestSupport.h"

#include <pulse/pulseaudio.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

PulseServer::PulseServer(std::chrono::milliseconds startTimeout)
    : fDirectory("gw_pulse")
{
    // Clients must never start a server of their own, and keep their cookie
    // here instead of creating one in the home directory.
    std::ofstream(fDirectory.File("client.conf"))
        << "autospawn = no\n"
        << "cookie-file = " << fDirectory.File("cookie") << "\n";
    const char* choice = getenv("GW_E2E_PULSE");
    if ((choice != nullptr && std::string(choice) == "pipewire") || !OnPath("pulseaudio")) {
        // PipeWire's PulseAudio service, alone, listening at the address.
        fPipeWire = std::make_unique<PipeWireServer>(startTimeout);
        std::ofstream(fDirectory.File("pipewire-pulse.conf")) << PipeWireServer::Configuration(
            { "log.level = 2" },
            { "protocol-native", "client-node", "adapter", "metadata",
                "protocol-pulse args = { server.address = [ \"" + Address() + "\" ] }" });
    }
    Start(startTimeout);
}

void PulseServer::Start(std::chrono::milliseconds startTimeout)
{
    const TempDirectory& dir = fDirectory;
    if (fPipeWire != nullptr) {
        fStarts++;
        std::vector<std::string> environment = fPipeWire->ClientEnvironment();
        environment.push_back("XDG_CONFIG_HOME=" + dir.File("config"));
        fServer = std::make_unique<ChildProcess>(
            std::vector<std::string> { "pipewire", "-c", dir.File("pipewire-pulse.conf") },
            environment, LogPath());
        try {
            WaitUntilAnswering(startTimeout);
        } catch (...) {
            fServer.reset();
            throw;
        }
        return;
    }
    // -n skips the system's default.pa, so the server has exactly the two
    // modules below. Rewinds are off on the sink: with them, the server may
    // re-render audio the monitor has already handed out, and a recording
    // loses the start of a new stream. Running as root only earns a warning
    // as long as --system is not given. Realtime scheduling and the CPU
    // limit are off because a test machine may be slow or loaded.
    std::vector<std::string> argv = { "pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no",
        "--exit-idle-time=-1", "--disable-shm=yes", "--realtime=no", "--high-priority=no",
        "--no-cpu-limit=yes", "--log-target=stderr",
        "--load=module-null-sink sink_name=" + std::string(kSinkName)
            + " format=float32le rate=" + std::to_string(kFrameRate)
            + " channels=" + std::to_string(kChannels) + " norewinds=1",
        "--load=module-native-protocol-unix socket=" + dir.File("native") + " auth-anonymous=1" };
    // A made-up home and runtime directory keep the server away from any
    // other server's files and from the real home directory.
    std::vector<std::string> environment = { PathVariable(), "HOME=" + dir.Path(),
        "XDG_RUNTIME_DIR=" + dir.Path(), "XDG_CONFIG_HOME=" + dir.File("config"),
        "PULSE_RUNTIME_PATH=" + dir.File("runtime"), "PULSE_STATE_PATH=" + dir.File("state"),
        "PULSE_CLIENTCONFIG=" + dir.File("client.conf"), "LC_ALL=C" };

    fStarts++;
    fServer = std::make_unique<ChildProcess>(argv, environment, LogPath());
    try {
        WaitUntilAnswering(startTimeout);
    } catch (...) {
        fServer.reset();
        throw;
    }
}

PulseServer::~PulseServer()
{
    // The server, then what it runs on and its directory (destroyed after
    // this).
    fServer.reset();
    fPipeWire.reset();
}

std::string PulseServer::Address() const
{
    return "unix:" + fDirectory.File("native");
}

std::vector<std::string> PulseServer::ClientEnvironment() const
{
    return { PathVariable(), "HOME=" + fDirectory.Path(), "XDG_RUNTIME_DIR=" + fDirectory.Path(),
        "PULSE_SERVER=" + Address(), "PULSE_CLIENTCONFIG=" + fDirectory.File("client.conf"), "LC_ALL=C" };
}

void PulseServer::UseInThisProcess() const
{
    setenv("PULSE_SERVER", Address().c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", fDirectory.File("client.conf").c_str(), 1);
}

ChildProcess::Result PulseServer::RunClient(const std::vector<std::string>& argv,
    std::chrono::milliseconds timeout) const
{
    return ChildProcess::Run(argv, ClientEnvironment(), timeout);
}

std::string PulseServer::ListSinkInputs() const
{
    ChildProcess::Result result = RunClient({ "pactl", "list", "sink-inputs" });
    if (!result.exited || result.exitCode != 0)
        throw std::runtime_error("pactl list sink-inputs failed: " + result.output);
    return result.output;
}

size_t PulseServer::CountSinkInputs() const
{
    return CountOf(ListSinkInputs(), "Sink Input #");
}

std::optional<std::vector<std::pair<pid_t, uint32_t>>> PulseServer::ProcessIds(
    const std::string& kind, const std::string& heading) const
{
    ChildProcess::Result result = RunClient({ "pactl", "list", kind });
    if (!result.exited || result.exitCode != 0)
        return std::nullopt;
    std::vector<std::pair<pid_t, uint32_t>> found;
    uint32_t index = 0;
    const std::string key = "application.process.id = \"";
    for (const std::string& line : Lines(result.output)) {
        if (line.starts_with(heading))
            index = static_cast<uint32_t>(std::stoul(line.substr(heading.size())));
        else if (size_t at = line.find(key); at != std::string::npos)
            found.emplace_back(std::atoi(line.c_str() + at + key.size()), index);
    }
    return found;
}

std::optional<std::map<pid_t, uint32_t>> PulseServer::Streams() const
{
    auto found = ProcessIds("sink-inputs", "Sink Input #");
    if (!found)
        return std::nullopt;
    std::map<pid_t, uint32_t> streams;
    for (const auto& [pid, index] : *found)
        streams[pid] = index;
    return streams;
}

bool PulseServer::WaitForStream(pid_t pid, std::chrono::milliseconds timeout) const
{
    auto streaming = [&] {
        auto streams = Streams();
        return streams && streams->count(pid) > 0;
    };
    return WaitUntil(streaming, timeout, std::chrono::milliseconds(100));
}

std::optional<std::multiset<pid_t>> PulseServer::Clients() const
{
    auto found = ProcessIds("clients", "Client #");
    if (!found)
        return std::nullopt;
    std::multiset<pid_t> pids;
    for (const auto& [pid, index] : *found)
        pids.insert(pid);
    return pids;
}

std::vector<std::string> PulseServer::InstanceEnvironment() const
{
    return { "SDL_AUDIODRIVER=pulseaudio", "PULSE_SERVER=" + Address(),
        "PULSE_CLIENTCONFIG=" + fDirectory.File("client.conf") };
}

std::multiset<pid_t> PulseServer::StreamOwners() const
{
    auto found = ProcessIds("sink-inputs", "Sink Input #");
    if (!found)
        throw std::runtime_error("pactl list sink-inputs failed:\n" + Log());
    std::multiset<pid_t> owners;
    for (const auto& [pid, index] : *found)
        owners.insert(pid);
    return owners;
}

bool PulseServer::SoundsWithin(const std::string& path, std::chrono::milliseconds timeout) const
{
    MonitorRecorder recorder(*this, path);
    size_t from = recorder.Frames();
    return WaitUntil(
        [&] { return FirstSoundingFrame(recorder.Samples(), from) != std::string::npos; }, timeout);
}

void PulseServer::Kill()
{
    if (fServer != nullptr)
        fServer->Stop(SIGKILL);
}

void PulseServer::Freeze(bool frozen) const
{
    if (fServer != nullptr)
        kill(fServer->Pid(), frozen ? SIGSTOP : SIGCONT);
}

std::string PulseServer::LogPath() const
{
    // A log per start, so a restarted server's log starts empty.
    if (fStarts <= 1)
        return fDirectory.File("server.log");
    return fDirectory.File("server" + std::to_string(fStarts) + ".log");
}

std::string PulseServer::Log() const
{
    return ReadFile(LogPath());
}

void PulseServer::WaitUntilAnswering(std::chrono::milliseconds timeout)
{
    std::string lastAnswer;
    auto answering = [&] {
        if (!fServer->IsRunning())
            throw std::runtime_error("the PulseAudio server exited at start:\n" + Log());
        ChildProcess::Result info = RunClient({ "pactl", "info" }, std::chrono::seconds(5));
        lastAnswer = info.output;
        return info.exited && info.exitCode == 0;
    };
    if (!WaitUntil(answering, timeout, std::chrono::milliseconds(50)))
        throw std::runtime_error("the PulseAudio server did not answer in time; pactl said: "
            + lastAnswer + "\nserver log:\n" + Log());
}

void PulseServer::KillSinkInput(uint32_t index) const
{
    // libpulse reads its client configuration (and the cookie it names)
    // from the environment.
    UseInThisProcess();
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "gw_e2e_kill_sink_input");
    pa_operation* operation = nullptr;
    struct Outcome {
        bool done = false;
        bool killed = false;
    } outcome;
    std::string error;
    if (pa_context_connect(context, Address().c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        error = "connect failed";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (error.empty() && !outcome.done) {
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "no answer in time";
            break;
        }
        pa_mainloop_iterate(loop, 0, nullptr);
        pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state)) {
            error = "the connection failed";
        } else if (state == PA_CONTEXT_READY && operation == nullptr) {
            auto answered = [](pa_context*, int success, void* data) {
                auto* result = static_cast<Outcome*>(data);
                result->killed = success != 0;
                result->done = true;
            };
            operation = pa_context_kill_sink_input(context, index, answered, &outcome);
            if (operation == nullptr)
                error = "the request couldn't be sent";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (error.empty() && !outcome.killed)
        error = "the server refused";
    if (!error.empty())
        error += ": " + std::string(pa_strerror(pa_context_errno(context)));
    if (operation != nullptr)
        pa_operation_unref(operation);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    if (!error.empty())
        throw std::runtime_error("killing sink input " + std::to_string(index) + ": " + error);
}
