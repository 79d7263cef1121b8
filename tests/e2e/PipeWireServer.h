#pragma once

// A private native PipeWire server for end-to-end tests: pipewire with one
// null sink (32-bit float stereo at 44100 Hz), and wireplumber, the session
// manager that links new streams to it as the default sink. Both run in a
// fresh directory that holds the socket, their configuration, home and state,
// without D-Bus, as whatever user the tests run as, root included. A test may
// kill both and start them again on the same socket, as a user's server would
// crash and come back; everything is killed and the directory removed when
// the object goes away.
//
// The sink's monitor is recorded with pw-record; objects are read back with
// pw-cli. The object is used from one thread.

#include "ChildProcess.h"
#include "SoundServer.h"
#include "TempDirectory.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class PipeWireServer : public SoundServer {
public:
    static constexpr const char* kSinkName = "gw_e2e_sink";
    // Why a test that needs the server skips where it isn't installed (the
    // set-up leaves it out beside a PulseAudio desktop).
    static constexpr const char* kNotInstalled
        = "needs pipewire and wireplumber, which set-up didn't install here";

    // Whether pipewire and wireplumber are installed.
    static bool Installed();
    // The configuration of one of PipeWire's programs: its context's
    // `properties` ("name = value"), the plugins they all load, the
    // `modules` (libpipewire-module-<module>, arguments and all), then `more`.
    static std::string Configuration(const std::vector<std::string>& properties,
        const std::vector<std::string>& modules, const std::string& more = "");
    static constexpr int kFrameRate = 44100;
    static constexpr int kChannels = 2;

    // An object in the server's registry, as `pw-cli info` shows it: its
    // fields (a node's "state", a link's "output-node-id", ...) and its
    // properties ("node.name", ...), with quotes taken off the values.
    struct Object {
        uint32_t id = 0;
        std::map<std::string, std::string> fields;
        std::map<std::string, std::string> properties;

        // The field's or property's value, or "" if the object lacks it.
        std::string Field(const std::string& key) const;
        std::string Property(const std::string& key) const;
    };

    // Starts the servers and waits up to `startTimeout` until the sink is
    // the default target. Throws, with the servers' logs, if it isn't.
    explicit PipeWireServer(std::chrono::milliseconds startTimeout = std::chrono::seconds(20));
    ~PipeWireServer() override;

    PipeWireServer(const PipeWireServer&) = delete;
    PipeWireServer& operator=(const PipeWireServer&) = delete;

    // The directory holding the socket (pipewire-0): the value for a
    // client's PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR.
    const std::string& RuntimeDirectory() const { return fDirectory.Path(); }
    // The whole environment for a client program such as pw-cli.
    std::vector<std::string> ClientEnvironment() const;
    // Runs a client program against the server, e.g. {"pw-cli", "info", "0"}.
    ChildProcess::Result RunClient(const std::vector<std::string>& argv,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Kills the session manager and the server at once (SIGKILL), as a
    // crash would; their clients see their connections drop.
    void Kill();
    // Starts both again on the same socket after Kill(), waiting for them
    // as the constructor does.
    void Start(std::chrono::milliseconds startTimeout = std::chrono::seconds(20));

    // The objects of one kind ("Node", "Client", "Link", ...); throws if
    // pw-cli fails.
    std::vector<Object> List(const std::string& kind) const;
    // The id of the sink node; throws if it isn't there.
    uint32_t SinkId() const;
    // The client connections of process `pid`.
    std::vector<Object> ClientsOf(pid_t pid) const;
    // The stream nodes of process `pid`.
    std::vector<Object> StreamsOf(pid_t pid) const;
    // Whether node `id` feeds the sink through links that carry data.
    bool LinkedToSink(uint32_t id) const;
    // Waits up to `timeout` until process `pid` has exactly one stream,
    // running and linked to the sink, and returns it; its id is 0 if not.
    Object PlayingStreamOf(pid_t pid, std::chrono::milliseconds timeout) const;

    // Starts pw-record on the sink's monitor, writing a WAV file of 32-bit
    // float stereo at 44100 Hz to `path`; the recording ends when the
    // returned process is stopped, or when the server goes away.
    std::unique_ptr<ChildProcess> Record(const std::string& path) const;
    // The interleaved samples of a recording so far, or after it ended.
    static std::vector<float> RecordedSamples(const std::string& path);

    // The server's socket directory; no sound server is named, so that the
    // program finds PipeWire by itself.
    std::vector<std::string> InstanceEnvironment() const override;
    std::multiset<pid_t> StreamOwners() const override;
    // A sample sounds when it is louder than rounding noise.
    bool SoundsWithin(const std::string& path, std::chrono::milliseconds timeout) const override;
    // What the server and the session manager printed since they last started.
    std::string Log() const override;

private:
    void WriteConfiguration() const;
    void WaitUntilReady(std::chrono::milliseconds timeout);
    std::vector<std::string> ServerEnvironment() const;
    std::string LogPath(const std::string& program) const;

    TempDirectory fDirectory;
    std::unique_ptr<ChildProcess> fServer;
    std::unique_ptr<ChildProcess> fSessionManager;
    int fStarts = 0;
};
