#include "PulseServer.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string PathVariable()
{
    const char* path = getenv("PATH");
    return std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin");
}

std::string Trim(const std::string& s)
{
    size_t first = s.find_first_not_of(" \t");
    size_t last = s.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

} // namespace

PulseServer::PulseServer(std::chrono::milliseconds startTimeout)
    : fDirectory("gw_pulse")
{
    const TempDirectory& dir = fDirectory;
    // Clients must never start a server of their own, and keep their cookie
    // here instead of creating one in the home directory.
    std::ofstream(dir.File("client.conf"))
        << "autospawn = no\n"
        << "cookie-file = " << dir.File("cookie") << "\n";

    // -n skips the system's default.pa, so the server has exactly the two
    // modules below. Rewinds are off on the sink: with them, the server may
    // re-render audio the monitor has already handed out, and a recording
    // loses the start of a new stream. Running as root only earns a warning
    // as long as --system is not given. Realtime scheduling and the CPU
    // limit are off because a test machine may be slow or loaded.
    std::vector<std::string> argv = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--use-pid-file=no",
        "--exit-idle-time=-1",
        "--disable-shm=yes",
        "--realtime=no",
        "--high-priority=no",
        "--no-cpu-limit=yes",
        "--log-target=stderr",
        "--load=module-null-sink sink_name=" + std::string(kSinkName)
            + " format=float32le rate=" + std::to_string(kFrameRate)
            + " channels=" + std::to_string(kChannels) + " norewinds=1",
        "--load=module-native-protocol-unix socket=" + dir.File("native") + " auth-anonymous=1",
    };
    // A made-up home and runtime directory keep the server away from any
    // other server's files and from the real home directory.
    std::vector<std::string> environment = {
        PathVariable(),
        "HOME=" + dir.Path(),
        "XDG_RUNTIME_DIR=" + dir.Path(),
        "XDG_CONFIG_HOME=" + dir.File("config"),
        "PULSE_RUNTIME_PATH=" + dir.File("runtime"),
        "PULSE_STATE_PATH=" + dir.File("state"),
        "PULSE_CLIENTCONFIG=" + dir.File("client.conf"),
        "LC_ALL=C",
    };

    fServer = std::make_unique<ChildProcess>(argv, environment, dir.File("server.log"));
    try {
        WaitUntilAnswering(startTimeout);
    } catch (...) {
        fServer.reset();
        throw;
    }
}

PulseServer::~PulseServer()
{
    // The server, then its directory (fDirectory is destroyed after this).
    fServer.reset();
}

std::string PulseServer::Address() const
{
    return "unix:" + fDirectory.File("native");
}

std::vector<std::string> PulseServer::ClientEnvironment() const
{
    return {
        PathVariable(),
        "HOME=" + fDirectory.Path(),
        "XDG_RUNTIME_DIR=" + fDirectory.Path(),
        "PULSE_SERVER=" + Address(),
        "PULSE_CLIENTCONFIG=" + fDirectory.File("client.conf"),
        "LC_ALL=C",
    };
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

std::vector<PulseServer::SinkInput> PulseServer::SinkInputs() const
{
    std::vector<SinkInput> inputs;
    std::istringstream lines(ListSinkInputs());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Sink Input #", 0) == 0) {
            inputs.emplace_back();
            continue;
        }
        if (inputs.empty())
            continue;
        // Properties are `key = "value"`, the other fields `Key: value`.
        size_t equals = line.find(" = \"");
        size_t colon = line.find(": ");
        if (equals != std::string::npos && line.size() > equals + 4 && line.back() == '"') {
            std::string key = Trim(line.substr(0, equals));
            inputs.back()[key] = line.substr(equals + 4, line.size() - equals - 5);
        } else if (colon != std::string::npos && line.rfind("\t", 0) == 0
            && line.rfind("\t\t", 0) != 0) {
            inputs.back()[Trim(line.substr(0, colon))] = Trim(line.substr(colon + 2));
        }
    }
    return inputs;
}

std::string PulseServer::Log() const
{
    std::ifstream file(fDirectory.File("server.log"));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void PulseServer::WaitUntilAnswering(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string lastAnswer;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!fServer->IsRunning())
            throw std::runtime_error("pulseaudio exited at start:\n" + Log());
        ChildProcess::Result info = RunClient({ "pactl", "info" }, std::chrono::seconds(5));
        if (info.exited && info.exitCode == 0)
            return;
        lastAnswer = info.output;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("pulseaudio did not answer in time; pactl said: " + lastAnswer
        + "\nserver log:\n" + Log());
}
