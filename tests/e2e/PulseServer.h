#pragma once

// A private PulseAudio server for end-to-end tests: one null sink, 32-bit
// float stereo at 44100 Hz, whose monitor source gives back exactly what was
// mixed into it, reachable only through a socket in a fresh directory. It
// runs as whatever user the tests run as, root included, touches nothing
// outside that directory, and is killed and its directory removed when the
// object goes away. A test may kill it and start it again on the same socket,
// as a user's server would crash and come back.
//
// Where PulseAudio itself isn't installed (a desktop whose sound server is
// PipeWire, which PulseAudio would replace), or GW_E2E_PULSE=pipewire asks
// for it, the server is PipeWire's PulseAudio service on a private PipeWire
// server instead; the protocol, the sink and its monitor are the same.

#include "ChildProcess.h"
#include "SoundServer.h"
#include "TempDirectory.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class PipeWireServer;

class PulseServer : public SoundServer {
public:
    static constexpr const char* kSinkName = "gw_e2e_sink";
    static constexpr int kFrameRate = 44100;
    static constexpr int kChannels = 2;

    // Starts the server and waits up to `startTimeout` until it answers.
    // Throws, with the server's log, if it doesn't.
    explicit PulseServer(std::chrono::milliseconds startTimeout = std::chrono::seconds(15));

    ~PulseServer() override;

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    const TempDirectory& Directory() const { return fDirectory; }
    // The value for PULSE_SERVER.
    std::string Address() const;
    std::string MonitorName() const { return std::string(kSinkName) + ".monitor"; }
    // The whole environment for a client program such as pactl or parec.
    std::vector<std::string> ClientEnvironment() const;
    // Points this process's own sound clients (SDL inside the tests) at the
    // server until something else overwrites the variables.
    void UseInThisProcess() const;

    // Runs a client program against the server, e.g. {"pactl", "info"}.
    ChildProcess::Result RunClient(const std::vector<std::string>& argv,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // The output of `pactl list sink-inputs`, with each stream's properties
    // as `key = "value"` lines; throws if pactl fails.
    std::string ListSinkInputs() const;
    // How many streams play into the server.
    size_t CountSinkInputs() const;
    // Each stream's index by the process that plays it; nullopt when the
    // server doesn't answer (it is down, or has no room for pactl).
    std::optional<std::map<pid_t, uint32_t>> Streams() const;
    // Waits up to `timeout` until process `pid` plays a stream; as each
    // look starts a pactl, it looks every 100 ms.
    bool WaitForStream(pid_t pid, std::chrono::milliseconds timeout) const;
    // The processes of the server's clients; nullopt when it doesn't answer.
    std::optional<std::multiset<pid_t>> Clients() const;

    // SDL's PulseAudio driver on the server.
    std::vector<std::string> InstanceEnvironment() const override;
    std::multiset<pid_t> StreamOwners() const override;
    // Any sample that isn't exactly zero sounds.
    bool SoundsWithin(const std::string& path, std::chrono::milliseconds timeout) const override;
    std::string Log() const override;
    // Whether the server is PulseAudio itself, not PipeWire's service.
    bool IsPulseAudio() const { return fPipeWire == nullptr; }

    // Kills the server at once (SIGKILL), as a crash would; its clients see
    // their connections drop. The socket's directory stays.
    void Kill();
    // Stops the server (SIGSTOP) so that it answers nobody, as a hung
    // server would, or lets it go on again (SIGCONT).
    void Freeze(bool frozen) const;
    // Starts the server again on the same socket after Kill(), waiting for
    // it as the constructor does.
    void Start(std::chrono::milliseconds startTimeout = std::chrono::seconds(15));
    // Has the server end the stream with index `index`, the way a mixer
    // application kills a stream; throws if the server refuses. This
    // process connects as a client itself, so it gets UseInThisProcess().
    void KillSinkInput(uint32_t index) const;

private:
    // The process id in each object `pactl list <kind>` shows, with the
    // object's index from its `heading` line; nullopt when the server doesn't
    // answer.
    std::optional<std::vector<std::pair<pid_t, uint32_t>>> ProcessIds(const std::string& kind,
        const std::string& heading) const;
    void WaitUntilAnswering(std::chrono::milliseconds timeout);
    std::string LogPath() const;

    TempDirectory fDirectory;
    // The PipeWire server below PipeWire's PulseAudio service, if that is
    // the server.
    std::unique_ptr<PipeWireServer> fPipeWire;
    std::unique_ptr<ChildProcess> fServer;
    int fStarts = 0;
};
