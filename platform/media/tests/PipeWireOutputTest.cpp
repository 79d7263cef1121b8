// The PipeWire output below the sound player, on a private PipeWire server:
// whole buffers rendered whatever the server asks for, pausing, and telling
// an absent server from one that refuses.

#include "AudioOutput.h"
#include "PipeWireServer.h"
#include "ProgramLines.h"
#include "TempDirectory.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>

using namespace std::chrono_literals;

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

media_raw_audio_format RampFormat()
{
    media_raw_audio_format format {};
    format.frame_rate = 44100.0f;
    format.channel_count = 2;
    format.format = B_AUDIO_FLOAT;
    format.byte_order = B_MEDIA_LITTLE_ENDIAN;
    format.buffer_size = kBufferSize;
    return format;
}

// Opens the PipeWire output of this process with its runtime directory set
// to `directory`.
OpenedOutput OpenIn(const std::string& directory, RenderLog& log)
{
    setenv("PIPEWIRE_RUNTIME_DIR", directory.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    return OpenPipeWireOutput(RampFormat(), "ramp", RenderRamp, &log);
}

// The output playing the ramp on a PipeWire server of the test's own.
class PipeWireOutputTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!PipeWireServer::Installed())
            GTEST_SKIP() << PipeWireServer::kNotInstalled;
        fServer = std::make_unique<PipeWireServer>();
        OpenedOutput opened = OpenIn(fServer->RuntimeDirectory(), log);
        ASSERT_TRUE(opened) << opened.reason();
        output = std::move(*opened);
    }

    RenderLog log;
    std::unique_ptr<PipeWireServer> fServer;
    std::unique_ptr<AudioOutput> output;
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
    TempDirectory directory("gw_pipewire_output");
    std::unique_ptr<ChildProcess> recorder = fServer->Record(directory.File("sink.wav"));
    output->Resume();

    // Half a second of sound, and the ramp unbroken in it: silence may come
    // between values if the machine is slow, but never a value out of turn.
    std::vector<float> sound;
    auto halfASecond = [&] {
        sound.clear();
        for (float sample : PipeWireServer::RecordedSamples(directory.File("sink.wav"))) {
            if (sample != 0.0f)
                sound.push_back(sample);
        }
        return sound.size() >= 2 * 22050;
    };
    ASSERT_TRUE(WaitUntil(halfASecond, 20s)) << sound.size() / 2 << " frames of sound";
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

TEST(PipeWireOutputWithoutServer, NoSocketARefusedOneOrNoWayToSetUpMeansNoServerAndOneThatHangsUpRefuses)
{
    TempDirectory directory("gw_pipewire_fake");
    RenderLog log;
    OpenedOutput opened = OpenIn(directory.Path(), log);
    EXPECT_EQ(opened.code(), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(opened.reason(), "no PipeWire server found");

    // A socket left behind by a server that died.
    int dead = BindSocket(directory.File("pipewire-0"), false);
    opened = OpenIn(directory.Path(), log);
    EXPECT_EQ(opened.code(), B_ENTRY_NOT_FOUND) << opened.reason();

    // A client library without its configuration can't even try: the next
    // sound server gets its turn, as when there is none.
    setenv("PIPEWIRE_CONFIG_DIR", directory.File("nothing").c_str(), 1);
    opened = OpenIn(directory.Path(), log);
    unsetenv("PIPEWIRE_CONFIG_DIR");
    EXPECT_EQ(opened.code(), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(opened.reason().rfind("PipeWire can't be set up here: ", 0), 0u) << opened.reason();
    close(dead);
    unlink(directory.File("pipewire-0").c_str());

    // What follows needs a client library that can set up.
    if (!PipeWireServer::Installed())
        GTEST_SKIP() << PipeWireServer::kNotInstalled;
    // Something that takes connections and doesn't answer: the server is
    // there, so it is not waited for. Once it hangs up, that is said once,
    // and nothing is rendered.
    int stalled = BindSocket(directory.File("pipewire-0"), true);
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    opened = OpenIn(directory.Path(), log);
    EXPECT_TRUE(opened) << opened.reason();
    std::unique_ptr<AudioOutput> output = opened ? std::move(*opened) : nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "waited for the server";
    if (output != nullptr)
        output->Resume();
    pollfd connecting { stalled, POLLIN, 0 };
    EXPECT_EQ(poll(&connecting, 1, 10000), 1) << "no connection came";
    close(accept4(stalled, nullptr, nullptr, SOCK_NONBLOCK));
    std::this_thread::sleep_for(500ms);
    output.reset();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("pipewire_output_e2e: " + kNoSound, 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    close(stalled);
    EXPECT_EQ(log.calls.load(), 0u);
}
