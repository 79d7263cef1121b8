// The program on a native PipeWire server, with no sound server chosen for
// it: each instance plays through a stream of its own on its own client
// connection, finds the server again after a restart, and quits cleanly on
// SIGTERM whether the server is there or not; where only PulseAudio runs, it
// never loads PipeWire's library. Below the program, the PipeWire output
// itself: whole buffers rendered whatever the server asks for, pausing, and
// telling an absent server from one that refuses.

#include "PipeWireServer.h"
#include "PlatformInternals.h"
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
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kAppName = "gondavel_wubbix";
constexpr const char* kStreamName = "g_w_new";
constexpr const char* kLossLine = "gondavel_wubbix: lost the sound server; reconnecting";

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
            [&] { return LinesStartingWith(S().Output(), kLossLine).size() == 1; }, 10s);
    }
};

} // namespace

TEST_F(PipeWireTest, InstanceSoundsThroughANativeStreamOfItsOwn)
{
    ChildProcess& instance = S().StartInstance();
    PipeWireServer::Object stream = PipeWire().PlayingStreamOf(instance.Pid(), 20s);
    ASSERT_NE(stream.id, 0u) << "no running stream linked to the sink\n" << S().Output();
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

    EXPECT_TRUE(S().Sounds(10s)) << "the sink is silent\n" << S().Output();

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
    EXPECT_TRUE(S().Sounds(5s)) << "no sound after the restart\n"
                                << S().Output() << PipeWire().Log();
    auto back = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - restarted);
    printf("sound back %lld ms after the server was started again\n",
        static_cast<long long>(back.count()));
    RecordProperty("sound_back_ms", std::to_string(back.count()));

    EXPECT_NE(PipeWire().PlayingStreamOf(instance.Pid(), 5s).id, 0u) << S().Output();
    EXPECT_EQ(LinesStartingWith(S().Output(), kLossLine).size(), 1u) << S().Output();
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

namespace {

// 1000 frames: no power of two, so the server's buffers never match ours.
constexpr size_t kBufferFrames = 1000;
constexpr size_t kBufferSize = kBufferFrames * 2 * sizeof(float);
// The test signal steps up by kStep every frame and starts again after
// kRamp frames; every value is exact in float, and never silent.
constexpr int kRamp = 1024;
constexpr float kStep = 1.0f / 2048.0f;

// What the render function saw, written on PipeWire's data thread.
struct RenderLog {
    std::atomic<uint64_t> calls { 0 };
    std::atomic<uint64_t> wrongSizes { 0 };
    std::atomic<bool> inside { false };
    uint64_t frame = 0;
};

void RenderRamp(void* context, void* buffer, size_t size)
{
    auto* log = static_cast<RenderLog*>(context);
    log->inside.store(true);
    if (size != kBufferSize)
        log->wrongSizes++;
    auto* samples = static_cast<float*>(buffer);
    for (size_t i = 0; i < size / sizeof(float); i += 2) {
        float value = static_cast<float>(log->frame % kRamp + 1) * kStep;
        samples[i] = value;
        samples[i + 1] = value;
        log->frame++;
    }
    // Long enough for a test to catch a render in the middle.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    log->calls++;
    log->inside.store(false);
}

// The PipeWire output of this process playing the ramp, and what it saw.
class PipeWireOutputTest : public testing::Test {
protected:
    // Opens the output on the server in `directory`.
    std::unique_ptr<PipeWireOutput> OpenIn(const std::string& directory)
    {
        media_raw_audio_format format {};
        format.frame_rate = 44100.0f;
        format.channel_count = 2;
        format.format = B_AUDIO_FLOAT;
        format.byte_order = B_MEDIA_LITTLE_ENDIAN;
        format.buffer_size = kBufferSize;
        return PipeWireOutput::Open(directory, format, "ramp", RenderRamp, &log, error, absent);
    }
    // Starts a server of the test's own and opens the output on it.
    std::unique_ptr<PipeWireOutput> OpenOnServer()
    {
        server = std::make_unique<PipeWireServer>();
        return OpenIn(server->RuntimeDirectory());
    }

    RenderLog log;
    std::string error;
    bool absent = false;
    std::unique_ptr<PipeWireServer> server;
};

// A Unix socket bound at `path`. Listening, it takes connections; not
// listening, connecting to it is refused, as to a server that died.
int BindSocket(const std::string& path, bool listening)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || (listening && listen(fd, 4) != 0))
        ADD_FAILURE() << "socket " << path << ": " << strerror(errno);
    return fd;
}

} // namespace

TEST_F(PipeWireOutputTest, RendersWholeBuffersAndPlaysThemInOrderWhateverTheServerAsksFor)
{
    if (!PipeWireServer::Installed())
        GTEST_SKIP() << PipeWireServer::kNotInstalled;
    std::unique_ptr<PipeWireOutput> output = OpenOnServer();
    ASSERT_NE(output, nullptr) << error;
    TempDirectory directory("gw_pipewire_output");
    std::unique_ptr<ChildProcess> recorder = server->Record(directory.File("sink.wav"));
    output->Resume();

    // Half a second of sound, and the ramp unbroken in it: silence may come
    // between values if the machine is slow, but never a value out of turn.
    std::vector<float> sound;
    ASSERT_TRUE(WaitUntil([&] {
        sound.clear();
        for (float sample : PipeWireServer::RecordedSamples(directory.File("sink.wav"))) {
            if (sample != 0.0f)
                sound.push_back(sample);
        }
        return sound.size() >= 2 * 22050;
    }, 20s)) << sound.size() / 2 << " frames of sound";
    output.reset();

    // A busy machine may make the server drop one graph cycle's buffer: the
    // ramp then skips ahead by a whole cycle (a multiple of 128 frames). The
    // output itself never loses, repeats or reorders a value, so any other
    // break, or skips on more than a couple of cycles, is its fault.
    size_t breaks = 0;
    size_t droppedCycles = 0;
    for (size_t i = 2; i < sound.size(); i += 2) {
        float expected = sound[i - 2] == kRamp * kStep ? kStep : sound[i - 2] + kStep;
        if (sound[i] == expected && sound[i + 1] == sound[i])
            continue;
        int skip = (static_cast<int>(sound[i] / kStep) - static_cast<int>(expected / kStep) + kRamp)
            % kRamp;
        if (sound[i + 1] == sound[i] && skip % 128 == 0)
            droppedCycles++;
        else
            breaks++;
    }
    EXPECT_EQ(breaks, 0u);
    EXPECT_LE(droppedCycles, 2u);
    EXPECT_GT(log.calls.load(), 22u);
    EXPECT_EQ(log.wrongSizes.load(), 0u);
}

TEST_F(PipeWireOutputTest, PauseReturnsWithNoRenderRunningAndNoneUntilResume)
{
    if (!PipeWireServer::Installed())
        GTEST_SKIP() << PipeWireServer::kNotInstalled;
    std::unique_ptr<PipeWireOutput> output = OpenOnServer();
    ASSERT_NE(output, nullptr) << error;
    // Opened paused.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log.calls.load(), 0u);

    for (int round = 0; round < 5; round++) {
        output->Resume();
        uint64_t before = log.calls.load();
        ASSERT_TRUE(WaitUntil([&] { return log.calls.load() >= before + 3; }, 10s))
            << "no render after Resume() in round " << round;
        // Pause in the middle of a render.
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!log.inside.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(log.inside.load()) << "no render running in round " << round;
        output->Pause();
        EXPECT_FALSE(log.inside.load()) << "a render still ran in round " << round;
        uint64_t paused = log.calls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(log.calls.load(), paused) << "rendered while paused in round " << round;
    }
}

TEST_F(PipeWireOutputTest, NoSocketOrARefusedOneMeansNoServerAndOneThatHangsUpRefuses)
{
    TempDirectory directory("gw_pipewire_fake");
    EXPECT_EQ(OpenIn(directory.Path()), nullptr);
    EXPECT_TRUE(absent) << error;

    // A socket left behind by a server that died.
    int dead = BindSocket(directory.File("pipewire-0"), false);
    absent = false;
    EXPECT_EQ(OpenIn(directory.Path()), nullptr);
    EXPECT_TRUE(absent) << error;
    close(dead);
    unlink(directory.File("pipewire-0").c_str());

    // Something that takes connections and doesn't answer: the server is
    // there, so it is not waited for. Once it hangs up, that is said once,
    // and nothing is rendered.
    int stalled = BindSocket(directory.File("pipewire-0"), true);
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    absent = true;
    std::unique_ptr<PipeWireOutput> output = OpenIn(directory.Path());
    EXPECT_NE(output, nullptr) << error;
    EXPECT_FALSE(absent);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "waited for the server";
    if (output != nullptr)
        output->Resume();
    close(accept(stalled, nullptr, nullptr));
    std::this_thread::sleep_for(500ms);
    output.reset();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("gondavel_wubbix: couldn't open sound output: ", 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    close(stalled);
    EXPECT_EQ(log.calls.load(), 0u);
}
