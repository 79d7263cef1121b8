// The program on a native PipeWire server, with no sound server chosen for
// it: each instance plays through a stream of its own on its own client
// connection, finds the server again after a restart, and quits cleanly on
// SIGTERM whether the server is there or not; where only PulseAudio runs, it
// never loads PipeWire's library.

#include "PipeWireServer.h"
#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kAppName = "gondavel_wubbix";
constexpr const char* kStreamName = "g_w_new";

// Instances on a PipeWire server of each test's own.
class PipeWireTest : public SessionTest {
protected:
    PipeWireTest() : SessionTest(XServer::Shared, Sound::OwnPipeWire) {}

    // Kills the server; whether the first instance then says, once, that it
    // lost it.
    bool LoseServer()
    {
        PipeWire().Kill();
        return WaitUntil(
            [&] { return LinesStartingWith(S().Output(), kSoundLostLine).size() == 1; }, 10s);
    }
};

} // namespace

TEST_F(PipeWireTest, InstanceSoundsThroughANativeStreamOfItsOwn)
{
    ChildProcess& instance = S().StartInstance();
    PipeWireServer::Object stream = PipeWire().PlayingStreamOf(instance.Pid(), 20s);
    ASSERT_NE(stream.id, 0u) << "no running stream linked to the sink\n" + S().Output();
    EXPECT_EQ(stream.Property("node.name"), kAppName);
    EXPECT_EQ(stream.Property("application.name"), kAppName);
    EXPECT_EQ(stream.Property("media.name"), kStreamName);
    EXPECT_EQ(stream.Property("media.class"), "Stream/Output/Audio");
    EXPECT_EQ(stream.Property("media.type"), "Audio");
    EXPECT_EQ(stream.Property("media.category"), "Playback");
    EXPECT_EQ(stream.Property("media.role"), "");
    EXPECT_EQ(stream.Property("application.icon-name"), kAppName);
    EXPECT_EQ(stream.Property("node.latency"), "1024/44100");
    EXPECT_EQ(S().StreamOwners(), std::multiset<pid_t> { instance.Pid() });
    ASSERT_EQ(PipeWire().ClientsOf(instance.Pid()).size(), 1u);
    EXPECT_EQ(PipeWire().ClientsOf(instance.Pid())[0].Property("application.name"), kAppName);

    EXPECT_TRUE(S().Sounds(10s)) << "the sink is silent\n" + S().Output();

    EXPECT_TRUE(S().EndsCleanly(instance));
    EXPECT_EQ(S().Output().find("couldn't"), std::string::npos) << S().Output();
}

TEST_F(PipeWireTest, TwoInstancesUseTwoClientConnectionsInAll)
{
    // One after the other, so that each counts the ones before it.
    ChildProcess& first = S().StartInstance();
    PipeWireServer::Object firstStream = PipeWire().PlayingStreamOf(first.Pid(), 20s);
    ChildProcess& second = S().StartInstance();
    PipeWireServer::Object secondStream = PipeWire().PlayingStreamOf(second.Pid(), 20s);
    ASSERT_NE(firstStream.id, 0u) << S().Output(0);
    ASSERT_NE(secondStream.id, 0u) << S().Output(1);

    EXPECT_EQ(PipeWire().ClientsOf(first.Pid()).size() + PipeWire().ClientsOf(second.Pid()).size(),
        2u);
    // A mixer tells them apart by their windows' titles.
    EXPECT_EQ((std::set<std::string> { firstStream.Property("application.name"),
                  secondStream.Property("application.name") }),
        (std::set<std::string> { "gondavel_wubbix", "ondavel_wubbixg" }));
    EXPECT_TRUE(S().EndsCleanly(first));
    EXPECT_TRUE(S().EndsCleanly(second));
}

TEST_F(PipeWireTest, SoundComesBackAfterTheServerRestarts)
{
    ChildProcess& instance = S().StartInstance();
    ASSERT_NE(PipeWire().PlayingStreamOf(instance.Pid(), 20s).id, 0u) << S().Output();

    ASSERT_TRUE(LoseServer()) << S().Output();
    // Down for a while: the instance keeps trying, quietly.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(instance.IsRunning()) << S().Output();

    // Timed from the server's start, which includes the wait for it to be
    // ready, to the first sound in the sink.
    auto restarted = std::chrono::steady_clock::now();
    PipeWire().Start();
    EXPECT_TRUE(S().Sounds(5s)) << "no sound after the restart\n" + S().Output() << PipeWire().Log();
    auto back = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - restarted);
    printf("sound back %lld ms after the server was started again\n",
        static_cast<long long>(back.count()));
    RecordProperty("sound_back_ms", std::to_string(back.count()));

    EXPECT_NE(PipeWire().PlayingStreamOf(instance.Pid(), 5s).id, 0u) << S().Output();
    EXPECT_EQ(LinesStartingWith(S().Output(), kSoundLostLine).size(), 1u) << S().Output();
    EXPECT_TRUE(S().EndsCleanly(instance));
}

TEST_F(PipeWireTest, InstanceQuitsWhileTheServerIsDown)
{
    ChildProcess& instance = S().StartInstance();
    ASSERT_NE(PipeWire().PlayingStreamOf(instance.Pid(), 20s).id, 0u) << S().Output();

    ASSERT_TRUE(LoseServer()) << S().Output();
    EXPECT_TRUE(S().EndsCleanly(instance));
}

TEST_F(PipeWireTest, OnAPulseAudioOnlyDesktopTheInstanceNeverLoadsPipeWire)
{
    struct stat systemSocket;
    if (stat("/run/pipewire/pipewire-0", &systemSocket) == 0)
        GTEST_SKIP() << "a system-wide PipeWire server runs here";
    PulseServer pulse;
    // The session's runtime directory has no PipeWire socket.
    Session session(Xvfb().Display(), &pulse);
    ChildProcess& instance = session.StartInstance({ "SDL_AUDIODRIVER" });

    ASSERT_TRUE(WaitUntil([&] { return pulse.CountSinkInputs() == 1; }, 20s)) << session.Output();
    std::string maps = ReadFile("/proc/" + std::to_string(instance.Pid()) + "/maps");
    EXPECT_EQ(maps.find("libpipewire"), std::string::npos);
    EXPECT_TRUE(session.EndsCleanly(instance));
}
