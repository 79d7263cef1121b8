// The program on a native PipeWire server, with no sound server chosen for
// it: each instance plays through a stream of its own on its own client
// connection, finds the server again after a restart, and quits cleanly on
// SIGTERM whether the server is there or not; where only PulseAudio runs, it
// never loads PipeWire's library.

#include "PipeWireServer.h"
#include "PulseServer.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kAppName = "gondavel_wubbix";
constexpr const char* kStreamName = "g_w_new";
constexpr const char* kLossLine = "gondavel_wubbix: lost the sound server; reconnecting";
// Quieter than any drone the program plays, louder than rounding noise.
constexpr float kSilence = 0.001f;

size_t CountLinesStartingWith(const std::string& text, const std::string& start)
{
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.rfind(start, 0) == 0;
    return count;
}

class PipeWireTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        try {
            sDisplay = new XvfbServer;
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    }
    static void TearDownTestSuite()
    {
        delete sDisplay;
        sDisplay = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(sDisplay != nullptr);
        if (!PipeWireServer::Installed())
            GTEST_SKIP() << PipeWireServer::kNotInstalled;
        try {
            fServer = std::make_unique<PipeWireServer>();
        } catch (const std::exception& error) {
            FAIL() << error.what();
        }
        fSession = std::make_unique<Session>(sDisplay->Display());
    }
    void TearDown() override
    {
        fRecorder.reset();
        fSession.reset();
    }

    // Starts the program as built, with the server's socket directory and
    // no sound server named.
    ChildProcess& StartInstance()
    {
        return fSession->StartInstance({ "PIPEWIRE_RUNTIME_DIR=" + fServer->RuntimeDirectory() });
    }
    std::string Output(size_t n = 0) const { return fSession->Output(n); }

    // The client connections of process `pid`.
    std::vector<PipeWireServer::Object> ClientsOf(pid_t pid) const
    {
        std::vector<PipeWireServer::Object> clients;
        for (const auto& client : fServer->List("Client")) {
            if (client.Property("pipewire.sec.pid") == std::to_string(pid))
                clients.push_back(client);
        }
        return clients;
    }
    // The stream nodes of process `pid`.
    std::vector<PipeWireServer::Object> StreamsOf(pid_t pid) const
    {
        std::set<std::string> clientIds;
        for (const auto& client : ClientsOf(pid))
            clientIds.insert(std::to_string(client.id));
        std::vector<PipeWireServer::Object> streams;
        for (const auto& node : fServer->List("Node")) {
            if (clientIds.count(node.Property("client.id")) != 0)
                streams.push_back(node);
        }
        return streams;
    }
    // Whether node `id` feeds the sink through links that carry data.
    bool LinkedToSink(uint32_t id) const
    {
        const std::string sink = std::to_string(fServer->SinkId());
        size_t links = 0;
        for (const auto& link : fServer->List("Link")) {
            if (link.Field("output-node-id") == std::to_string(id)
                && link.Field("input-node-id") == sink && link.Field("state") == "active")
                links++;
        }
        return links == PipeWireServer::kChannels;
    }
    // Waits up to `timeout` until process `pid` has exactly one stream,
    // running and linked to the sink, and returns it; its id is 0 if not.
    PipeWireServer::Object WaitForPlayingStream(pid_t pid, std::chrono::milliseconds timeout) const
    {
        PipeWireServer::Object found;
        WaitUntil([&] {
            std::vector<PipeWireServer::Object> streams = StreamsOf(pid);
            if (streams.size() == 1 && streams[0].Field("state") == "running"
                && LinkedToSink(streams[0].id))
                found = streams[0];
            return found.id != 0;
        }, timeout);
        return found;
    }

    // Starts recording the sink anew; a restart of the server ends a
    // recording.
    void Record()
    {
        fRecording++;
        fRecorder = fServer->Record(RecordingPath());
    }
    std::string RecordingPath() const
    {
        return fSession->Runtime().File("sink" + std::to_string(fRecording) + ".wav");
    }
    // Whether the recording sounds, waiting up to `timeout`.
    bool Sounds(std::chrono::milliseconds timeout) const
    {
        return WaitUntil([&] {
            std::vector<float> samples = PipeWireServer::RecordedSamples(RecordingPath());
            return std::any_of(samples.begin(), samples.end(),
                [](float sample) { return std::fabs(sample) > kSilence; });
        }, timeout);
    }

    // Sends SIGTERM and whether the instance then exits with status 0.
    static bool QuitsCleanly(ChildProcess& instance)
    {
        kill(instance.Pid(), SIGTERM);
        return instance.WaitForExit(10s) && instance.ExitCode() == 0;
    }

    static inline XvfbServer* sDisplay = nullptr;
    std::unique_ptr<PipeWireServer> fServer;
    std::unique_ptr<Session> fSession;
    std::unique_ptr<ChildProcess> fRecorder;
    int fRecording = 0;
};

} // namespace

TEST_F(PipeWireTest, InstanceSoundsThroughANativeStreamOfItsOwn)
{
    ChildProcess& instance = StartInstance();
    PipeWireServer::Object stream = WaitForPlayingStream(instance.Pid(), 20s);
    ASSERT_NE(stream.id, 0u) << "no running stream linked to the sink\n" << Output();
    EXPECT_EQ(stream.Property("node.name"), kAppName);
    EXPECT_EQ(stream.Property("application.name"), kAppName);
    EXPECT_EQ(stream.Property("media.name"), kStreamName);
    EXPECT_EQ(stream.Property("media.class"), "Stream/Output/Audio");
    EXPECT_EQ(stream.Property("media.type"), "Audio");
    EXPECT_EQ(stream.Property("media.category"), "Playback");
    EXPECT_EQ(stream.Property("media.role"), "");
    EXPECT_EQ(stream.Property("application.icon-name"), kAppName);
    EXPECT_EQ(stream.Property("node.latency"), "1024/44100");
    ASSERT_EQ(ClientsOf(instance.Pid()).size(), 1u);
    EXPECT_EQ(ClientsOf(instance.Pid())[0].Property("application.name"), kAppName);

    Record();
    EXPECT_TRUE(Sounds(10s)) << "the sink is silent\n" << Output();

    EXPECT_TRUE(QuitsCleanly(instance)) << Output();
    EXPECT_EQ(Output().find("couldn't"), std::string::npos) << Output();
}

TEST_F(PipeWireTest, TwoInstancesUseTwoClientConnectionsInAll)
{
    // One after the other, so that each counts the ones before it.
    ChildProcess& first = StartInstance();
    PipeWireServer::Object firstStream = WaitForPlayingStream(first.Pid(), 20s);
    ChildProcess& second = StartInstance();
    PipeWireServer::Object secondStream = WaitForPlayingStream(second.Pid(), 20s);
    ASSERT_NE(firstStream.id, 0u) << Output(0);
    ASSERT_NE(secondStream.id, 0u) << Output(1);

    EXPECT_EQ(ClientsOf(first.Pid()).size() + ClientsOf(second.Pid()).size(), 2u);
    // A mixer tells them apart by their windows' titles.
    EXPECT_EQ((std::set<std::string> { firstStream.Property("application.name"),
                  secondStream.Property("application.name") }),
        (std::set<std::string> { "gondavel_wubbix", "ondavel_wubbixg" }));
    EXPECT_TRUE(QuitsCleanly(first)) << Output(0);
    EXPECT_TRUE(QuitsCleanly(second)) << Output(1);
}

TEST_F(PipeWireTest, SoundComesBackAfterTheServerRestarts)
{
    ChildProcess& instance = StartInstance();
    ASSERT_NE(WaitForPlayingStream(instance.Pid(), 20s).id, 0u) << Output();

    fServer->Kill();
    ASSERT_TRUE(WaitUntil([&] { return CountLinesStartingWith(Output(), kLossLine) == 1; }, 10s))
        << Output();
    // Down for a while: the instance keeps trying, quietly.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(instance.IsRunning()) << Output();

    // Timed from the server's start, which includes the wait for it to be
    // ready, to the first sound in the sink.
    auto restarted = std::chrono::steady_clock::now();
    fServer->Start();
    Record();
    EXPECT_TRUE(Sounds(5s)) << "no sound after the restart\n" << Output() << fServer->Log();
    auto back = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - restarted);
    printf("sound back %lld ms after the server was started again\n",
        static_cast<long long>(back.count()));
    RecordProperty("sound_back_ms", std::to_string(back.count()));

    EXPECT_NE(WaitForPlayingStream(instance.Pid(), 5s).id, 0u) << Output();
    EXPECT_EQ(CountLinesStartingWith(Output(), kLossLine), 1u) << Output();
    EXPECT_TRUE(QuitsCleanly(instance)) << Output();
}

TEST_F(PipeWireTest, InstanceQuitsWhileTheServerIsDown)
{
    ChildProcess& instance = StartInstance();
    ASSERT_NE(WaitForPlayingStream(instance.Pid(), 20s).id, 0u) << Output();

    fServer->Kill();
    ASSERT_TRUE(WaitUntil([&] { return CountLinesStartingWith(Output(), kLossLine) == 1; }, 10s))
        << Output();
    EXPECT_TRUE(QuitsCleanly(instance)) << Output();
}

TEST_F(PipeWireTest, OnAPulseAudioOnlyDesktopTheInstanceNeverLoadsPipeWire)
{
    struct stat systemSocket;
    if (stat("/run/pipewire/pipewire-0", &systemSocket) == 0)
        GTEST_SKIP() << "a system-wide PipeWire server runs here";
    PulseServer pulse;
    // The session's runtime directory has no PipeWire socket.
    Session session(sDisplay->Display(), pulse);
    ChildProcess& instance = session.StartInstance({ "SDL_AUDIODRIVER" });

    ASSERT_TRUE(WaitUntil([&] { return pulse.CountSinkInputs() == 1; }, 20s)) << session.Output();
    std::string maps = ReadFile("/proc/" + std::to_string(instance.Pid()) + "/maps");
    EXPECT_EQ(maps.find("libpipewire"), std::string::npos);
    EXPECT_TRUE(QuitsCleanly(instance)) << session.Output();
}
