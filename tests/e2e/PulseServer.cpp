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

size_t PulseServer::CountSinkInputs() const
{
    std::string text = ListSinkInputs();
    size_t count = 0;
    for (size_t at = text.find("Sink Input #"); at != std::string::npos;
         at = text.find("Sink Input #", at + 1))
        count++;
    return count;
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
