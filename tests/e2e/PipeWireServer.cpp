#include "PipeWireServer.h"

#include "TestSupport.h"

#include <sys/stat.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// The server: the protocol, the factories clients and the session manager
// need, a dummy driver, and the null sink, which drives the graph whenever it
// plays. The graph runs at the sink's rate.
std::string ServerConfiguration()
{
    const std::string rate = std::to_string(PipeWireServer::kFrameRate);
    return PipeWireServer::Configuration(
        { "core.daemon = true", "core.name = pipewire-0", "link.max-buffers = 16",
            "default.clock.rate = " + rate, "default.clock.allowed-rates = [ " + rate + " ]" },
        { "protocol-native", "metadata", "spa-node-factory", "client-node", "client-device",
            "access", "adapter", "link-factory", "session-manager" },
        R"(context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = )"
            + std::string(PipeWireServer::kSinkName) + R"(
            media.class = Audio/Sink
            audio.format = F32
            audio.rate = )"
            + rate + R"(
            audio.channels = )"
            + std::to_string(PipeWireServer::kChannels) + R"(
            audio.position = [ FL FR ]
            object.linger = true
        }
    }
]
)");
}

// The session manager with its stream policy only: no device monitors (there
// is no hardware to find, and they want D-Bus), no Bluetooth, no portal.
std::string SessionManagerConfiguration()
{
    return PipeWireServer::Configuration(
        { "log.level = 2", "wireplumber.script-engine = lua-scripting" },
        { "protocol-native", "client-node", "client-device", "adapter", "metadata",
            "session-manager" },
        R"(wireplumber.components = [
    { name = libwireplumber-module-lua-scripting, type = module }
    { name = main.lua, type = config/lua }
    { name = policy.lua, type = config/lua }
]
)");
}

// Replaces the system's main.lua.d/90-enable-all.lua, which turns on the
// device monitors.
constexpr const char* kSessionManagerComponents = R"(load_module("metadata")
default_access.properties["enable-flatpak-portal"] = false
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
)";

std::string Trim(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t*");
    if (start == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

std::string Unquote(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

} // namespace

std::string PipeWireServer::Object::Field(const std::string& key) const
{
    auto found = fields.find(key);
    return found != fields.end() ? found->second : "";
}

std::string PipeWireServer::Object::Property(const std::string& key) const
{
    auto found = properties.find(key);
    return found != properties.end() ? found->second : "";
}

std::string PipeWireServer::Configuration(const std::vector<std::string>& properties,
    const std::vector<std::string>& modules, const std::string& more)
{
    std::string text = "context.properties = {\n";
    for (const std::string& property : properties)
        text += "    " + property + "\n";
    text += "}\n"
            "context.spa-libs = {\n"
            "    audio.convert.* = audioconvert/libspa-audioconvert\n"
            "    support.* = support/libspa-support\n"
            "}\n"
            "context.modules = [\n";
    for (const std::string& module : modules)
        text += "    { name = libpipewire-module-" + module + " }\n";
    return text + "]\n" + more;
}

bool PipeWireServer::Installed()
{
    return OnPath("pipewire") && OnPath("wireplumber");
}

PipeWireServer::PipeWireServer(std::chrono::milliseconds startTimeout)
    : fDirectory("gw_pipewire")
{
    WriteConfiguration();
    Start(startTimeout);
}

PipeWireServer::~PipeWireServer()
{
    // The servers, then their directory (fDirectory is destroyed after this).
    Kill();
}

void PipeWireServer::WriteConfiguration() const
{
    std::filesystem::create_directories(fDirectory.File("config/wireplumber/main.lua.d"));
    std::filesystem::create_directories(fDirectory.File("home"));
    std::ofstream(fDirectory.File("pipewire.conf")) << ServerConfiguration();
    std::ofstream(fDirectory.File("config/wireplumber/wireplumber.conf"))
        << SessionManagerConfiguration();
    std::ofstream(fDirectory.File("config/wireplumber/main.lua.d/90-enable-all.lua"))
        << kSessionManagerComponents;
}

std::vector<std::string> PipeWireServer::ServerEnvironment() const
{
    // A made-up home, runtime, configuration and state directory keep the
    // servers away from any other server's files and from the real home
    // directory. Without DBUS_SESSION_BUS_ADDRESS nothing tries D-Bus.
    return { PathVariable(), "HOME=" + fDirectory.File("home"), "XDG_RUNTIME_DIR=" + fDirectory.Path(),
        "XDG_CONFIG_HOME=" + fDirectory.File("config"), "XDG_STATE_HOME=" + fDirectory.File("state"),
        "XDG_DATA_HOME=" + fDirectory.File("data"), "LC_ALL=C" };
}

std::vector<std::string> PipeWireServer::ClientEnvironment() const
{
    return { PathVariable(), "HOME=" + fDirectory.File("home"), "XDG_RUNTIME_DIR=" + fDirectory.Path(),
        "PIPEWIRE_RUNTIME_DIR=" + fDirectory.Path(), "LC_ALL=C" };
}

ChildProcess::Result PipeWireServer::RunClient(const std::vector<std::string>& argv,
    std::chrono::milliseconds timeout) const
{
    return ChildProcess::Run(argv, ClientEnvironment(), timeout);
}

void PipeWireServer::Kill()
{
    if (fSessionManager != nullptr)
        fSessionManager->Stop(SIGKILL);
    if (fServer != nullptr)
        fServer->Stop(SIGKILL);
}

void PipeWireServer::Start(std::chrono::milliseconds startTimeout)
{
    fStarts++;
    fSessionManager.reset();
    // A killed server leaves its socket behind; the new one takes the lock
    // file over and replaces the socket.
    fServer = std::make_unique<ChildProcess>(
        std::vector<std::string> { "pipewire", "-c", fDirectory.File("pipewire.conf") },
        ServerEnvironment(), LogPath("pipewire"));
    try {
        WaitUntilReady(startTimeout);
    } catch (...) {
        Kill();
        throw;
    }
}

std::string PipeWireServer::LogPath(const std::string& program) const
{
    // A log per start, so a restarted server's log starts empty.
    return fDirectory.File(program + std::to_string(fStarts) + ".log");
}

std::string PipeWireServer::Log() const
{
    return "pipewire:\n" + ReadFile(LogPath("pipewire")) + "wireplumber:\n"
        + ReadFile(LogPath("wireplumber"));
}

// Ready once the server lists the sink and the session manager has made it
// the default sink; the session manager starts only when the server answers.
void PipeWireServer::WaitUntilReady(std::chrono::milliseconds timeout)
{
    std::string lastAnswer;
    auto ready = [&] {
        if (!fServer->IsRunning())
            throw std::runtime_error("pipewire exited at start:\n" + Log());
        if (fSessionManager == nullptr) {
            ChildProcess::Result nodes = RunClient({ "pw-cli", "ls", "Node" }, std::chrono::seconds(5));
            lastAnswer = nodes.output;
            if (nodes.exited && nodes.exitCode == 0
                && nodes.output.find(std::string("\"") + kSinkName + "\"") != std::string::npos) {
                fSessionManager = std::make_unique<ChildProcess>(
                    std::vector<std::string> { "wireplumber" }, ServerEnvironment(),
                    LogPath("wireplumber"));
            }
            return false;
        }
        if (!fSessionManager->IsRunning())
            throw std::runtime_error("wireplumber exited at start:\n" + Log());
        ChildProcess::Result metadata = RunClient({ "pw-metadata", "0", "default.audio.sink" }, std::chrono::seconds(5));
        lastAnswer = metadata.output;
        return metadata.exited && metadata.exitCode == 0
            && metadata.output.find(std::string("\"name\":\"") + kSinkName + "\"") != std::string::npos;
    };
    if (!WaitUntil(ready, timeout, std::chrono::milliseconds(50)))
        throw std::runtime_error("PipeWire was not ready in time; the last answer was:\n"
            + lastAnswer + Log());
}

std::vector<PipeWireServer::Object> PipeWireServer::List(const std::string& kind) const
{
    // pw-cli gives up when an object goes while it lists them (a client
    // that just ended): then it is asked again.
    ChildProcess::Result result;
    for (int attempt = 0; attempt < 3; attempt++) {
        result = RunClient({ "pw-cli", "info", "all" });
        if (result.exited && result.exitCode == 0)
            break;
    }
    if (!result.exited || result.exitCode != 0)
        throw std::runtime_error("pw-cli info all failed: " + result.output);
    // Each object starts with an "id: N" line, followed by "name: value"
    // fields and "name = value" properties; a '*' marks what changed.
    const std::string type = "PipeWire:Interface:" + kind + "/";
    std::vector<Object> objects;
    std::istringstream lines(result.output);
    bool wanted = false;
    for (std::string line; std::getline(lines, line);) {
        line = Trim(line);
        if (line.rfind("id: ", 0) == 0) {
            objects.emplace_back();
            objects.back().id = static_cast<uint32_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
            wanted = false;
        } else if (objects.empty()) {
            continue;
        } else if (line.rfind("type: ", 0) == 0) {
            wanted = line.compare(6, type.size(), type) == 0;
            if (!wanted)
                objects.pop_back();
        } else if (!wanted) {
            continue;
        } else if (size_t equals = line.find(" = "); equals != std::string::npos) {
            objects.back().properties[line.substr(0, equals)] = Unquote(line.substr(equals + 3));
        } else if (size_t colon = line.find(": "); colon != std::string::npos) {
            objects.back().fields[line.substr(0, colon)] = Unquote(line.substr(colon + 2));
        }
    }
    return objects;
}

uint32_t PipeWireServer::SinkId() const
{
    for (const Object& node : List("Node")) {
        if (node.Property("node.name") == kSinkName)
            return node.id;
    }
    throw std::runtime_error(std::string("no node ") + kSinkName);
}

std::vector<PipeWireServer::Object> PipeWireServer::ClientsOf(pid_t pid) const
{
    std::vector<Object> clients;
    for (const auto& client : List("Client")) {
        if (client.Property("pipewire.sec.pid") == std::to_string(pid))
            clients.push_back(client);
    }
    return clients;
}

std::vector<PipeWireServer::Object> PipeWireServer::StreamsOf(pid_t pid) const
{
    std::set<std::string> clientIds;
    for (const auto& client : ClientsOf(pid))
        clientIds.insert(std::to_string(client.id));
    std::vector<Object> streams;
    for (const auto& node : List("Node")) {
        if (clientIds.count(node.Property("client.id")) != 0)
            streams.push_back(node);
    }
    return streams;
}

bool PipeWireServer::LinkedToSink(uint32_t id) const
{
    const std::string sink = std::to_string(SinkId());
    size_t links = 0;
    for (const auto& link : List("Link")) {
        if (link.Field("output-node-id") == std::to_string(id)
            && link.Field("input-node-id") == sink && link.Field("state") == "active")
            links++;
    }
    return links == kChannels;
}

PipeWireServer::Object PipeWireServer::PlayingStreamOf(pid_t pid,
    std::chrono::milliseconds timeout) const
{
    Object found;
    auto playing = [&] {
        std::vector<Object> streams = StreamsOf(pid);
        if (streams.size() == 1 && streams[0].Field("state") == "running" && LinkedToSink(streams[0].id))
            found = streams[0];
        return found.id != 0;
    };
    WaitUntil(playing, timeout);
    return found;
}

std::vector<std::string> PipeWireServer::InstanceEnvironment() const
{
    return { "PIPEWIRE_RUNTIME_DIR=" + RuntimeDirectory() };
}

std::multiset<pid_t> PipeWireServer::StreamOwners() const
{
    std::map<std::string, pid_t> owners;
    for (const auto& client : List("Client"))
        owners[std::to_string(client.id)] = std::atoi(client.Property("pipewire.sec.pid").c_str());
    std::multiset<pid_t> streams;
    for (const auto& node : List("Node")) {
        auto owner = owners.find(node.Property("client.id"));
        if (node.Property("media.class") == "Stream/Output/Audio" && owner != owners.end())
            streams.insert(owner->second);
    }
    return streams;
}

bool PipeWireServer::SoundsWithin(const std::string& path, std::chrono::milliseconds timeout) const
{
    // Quieter than any drone the program plays, louder than rounding noise.
    constexpr float kSilence = 0.001f;
    std::unique_ptr<ChildProcess> recorder = Record(path);
    auto sounds = [&] { return FirstSoundingFrame(RecordedSamples(path), 0, kSilence) != std::string::npos; };
    return WaitUntil(sounds, timeout);
}

std::unique_ptr<ChildProcess> PipeWireServer::Record(const std::string& path) const
{
    // A capture stream aimed at a sink records its monitor. A short latency
    // makes pw-record write often, so the file tracks the sink.
    return std::make_unique<ChildProcess>(
        std::vector<std::string> { "pw-record", "--target", kSinkName, "--format", "f32",
            "--rate", std::to_string(kFrameRate), "--channels", std::to_string(kChannels),
            "--latency", "20ms", path },
        ClientEnvironment(), path + ".log");
}

std::vector<float> PipeWireServer::RecordedSamples(const std::string& path)
{
    static_assert(std::endian::native == std::endian::little, "WAV holds little-endian floats");
    // The samples are whatever follows the header of the "data" chunk: while
    // pw-record runs, the chunk's size in the header isn't final.
    std::string bytes = ReadFile(path);
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, sizeof size);
        if (bytes.compare(at, 4, "data") == 0) {
            size_t frames = (bytes.size() - at - 8) / (kChannels * sizeof(float));
            std::vector<float> samples(frames * kChannels);
            if (!samples.empty())
                std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * sizeof(float));
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}
