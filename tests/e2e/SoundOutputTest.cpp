// The engine's sound as it leaves the process: played through a private
// PulseAudio server's null sink and recorded from its monitor.

#include "MonitorRecorder.h"
#include "ProgramLines.h"
#include "PulseServer.h"
#include "TempDirectory.h"
#include "TestSupport.h"

#include "AudioSubs.h"
#include "ParameterBlock.h"
#include "SoundPlayer.h"
#include "Synth.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr float kCentreGain = 0.70710677f;
constexpr double kFrameRate = PulseServer::kFrameRate;

// The fixed tone: a sine at 439.9 + 0.1 Hz, no feedback, no delay.
void SetSine()
{
    globalWubbix.waveform = WAVE_SINE;
    globalWubbix.frequency = 439.9f;
    globalWubbix.feedback = 0.0f;
    globalWubbix.delayLength = 0;
}

// The left channel of what the synthesis renders offline from a fresh start
// with the engine's parameters; the sine's values themselves are the
// synthesis's own tests' business.
std::vector<float> EngineSine(size_t frames)
{
    std::vector<float> delayLine(DELAY_CAPACITY);
    SynthState state { .delayLine = delayLine.data() };
    std::vector<float> stereo(2 * frames);
    Synthesize(state, globalWubbix, stereo.data(), frames);
    std::vector<float> values(frames);
    for (size_t i = 0; i < frames; i++)
        values[i] = stereo[2 * i];
    return values;
}

// A recording split into what matters here.
struct Tone {
    std::vector<float> left;  // the left channel of every frame that isn't silent
    size_t unequalFrames = 0; // frames whose channels differ
    size_t silenceInside = 0; // silent frames between the first and last sounding one
};

Tone ExtractTone(const std::vector<float>& samples)
{
    Tone tone;
    size_t silentRun = 0;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
        float left = samples[i];
        float right = samples[i + 1];
        if (left != right)
            tone.unequalFrames++;
        if (left == 0.0f && right == 0.0f) {
            silentRun++;
            continue;
        }
        if (!tone.left.empty())
            tone.silenceInside += silentRun;
        silentRun = 0;
        tone.left.push_back(left);
    }
    return tone;
}

// The frequency from the upward zero crossings, first to last.
double CrossingFrequency(const std::vector<float>& values)
{
    size_t first = 0;
    size_t last = 0;
    size_t crossings = 0;
    for (size_t i = 1; i < values.size(); i++) {
        if (values[i - 1] < 0.0f && values[i] >= 0.0f) {
            if (crossings == 0)
                first = i;
            last = i;
            crossings++;
        }
    }
    if (crossings < 2)
        return 0.0;
    return static_cast<double>(crossings - 1) * kFrameRate / static_cast<double>(last - first);
}

class SoundOutput : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        fServer.UseInThisProcess();
        SetSine();
    }

    void TearDown() override
    {
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u) << "the player left SDL's audio initialised";
    }

    PulseServer fServer;
};

TEST_F(SoundOutput, SineReachesSinkUnchanged)
{
    MonitorRecorder recorder(fServer, fServer.Directory().File("monitor.raw"));
    size_t before = recorder.Frames();
    {
        AudioSubs engine;
        ASSERT_EQ(engine.player->InitCheck(), B_OK);
        // About a second of the tone, by the sink's clock.
        ASSERT_TRUE(recorder.WaitForFrames(before + PulseServer::kFrameRate, 20s))
            << "the sink stopped running";
        engine.CleanUp();
    }
    recorder.Stop();
    Tone tone = ExtractTone(recorder.Samples());

    ASSERT_GE(tone.left.size(), PulseServer::kFrameRate / 2u)
        << "less than half a second of the tone reached the sink";
    EXPECT_EQ(tone.unequalFrames, 0u) << "a centred voice must be the same in both channels";
    float peak = 0.0f;
    for (float v : tone.left)
        peak = std::max(peak, std::fabs(v));
    EXPECT_NEAR(peak, kCentreGain, 1e-4);
    EXPECT_NEAR(CrossingFrequency(tone.left), 440.0, 0.5);

    // A float32 sink at unity volume mixes a single float32 stream without
    // touching it, so the recording is the engine's output bit for bit. The
    // only change the server may make is silence where the stream ran dry.
    // Frame 0 is silent itself, so the tone starts with frame 1.
    std::vector<float> expected = EngineSine(tone.left.size() + 1);
    ASSERT_EQ(expected[0], 0.0f);
    auto mismatch = std::mismatch(tone.left.begin(), tone.left.end(), expected.begin() + 1);
    if (mismatch.first != tone.left.end()) {
        size_t frame = static_cast<size_t>(mismatch.first - tone.left.begin()) + 1;
        FAIL() << "sounding frame " << frame << " of " << tone.left.size() << " is "
               << *mismatch.first << " instead of " << *mismatch.second;
    }
    RecordProperty("tone_frames", static_cast<int>(tone.left.size()));
    RecordProperty("silence_inserted_frames", static_cast<int>(tone.silenceInside));
}

TEST_F(SoundOutput, StreamIsListedOnlyWhilePlaying)
{
    AudioSubs engine;
    ASSERT_EQ(engine.player->InitCheck(), B_OK);

    ASSERT_TRUE(WaitUntil([&] { return fServer.CountSinkInputs() > 0; }, 10s))
        << "no stream appeared";
    std::string streams = fServer.ListSinkInputs();
    EXPECT_EQ(fServer.CountSinkInputs(), 1u) << streams;
    EXPECT_NE(streams.find("media.name = \"g_w_new\""), std::string::npos) << streams;
    EXPECT_NE(streams.find("application.name = \"sound_output_e2e\""), std::string::npos)
        << streams;

    engine.CleanUp();
    EXPECT_EQ(engine.player, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return fServer.CountSinkInputs() == 0; }, 10s))
        << "the stream outlived CleanUp():\n" + fServer.ListSinkInputs();
}

// Where no server listens, and, when the machine has no sound card, ALSA
// is tried after PulseAudio and fails too: either way the player says so in
// exactly one line and the engine runs silently.
class SoundOutputWithoutServer : public testing::TestWithParam<const char*> {};

TEST_P(SoundOutputWithoutServer, ReportsOnceAndRunsSilently)
{
    std::string drivers = GetParam();
    std::string cards = ReadFile("/proc/asound/cards"); // empty without ALSA in the kernel
    if (drivers.find("alsa") != std::string::npos && !cards.empty()
        && cards.find("no soundcards") == std::string::npos)
        GTEST_SKIP() << "this machine has a sound card, so ALSA would open it";

    // A socket path where nothing listens, and no autospawning a server.
    TempDirectory dir("gw_noserver");
    std::ofstream(dir.File("client.conf"))
        << "autospawn = no\n"
        << "cookie-file = " << dir.File("cookie") << "\n";
    setenv("SDL_AUDIODRIVER", drivers.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir.File("native")).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", dir.File("client.conf").c_str(), 1);
    SetSine();

    testing::internal::CaptureStderr();
    {
        AudioSubs engine;
        EXPECT_NE(engine.player->InitCheck(), B_OK);
        engine.CleanUp();
        EXPECT_EQ(engine.player, nullptr);
        engine.CleanUp();
    }
    std::string errors = testing::internal::GetCapturedStderr();

    const std::string prefix = "sound_output_e2e: " + kNoSound;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_EQ(errors.rfind(prefix, 0), 0u) << errors;
    EXPECT_GT(errors.size(), prefix.size() + 1) << "the line gives no reason";
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u) << "the player left SDL's audio initialised";
}

INSTANTIATE_TEST_SUITE_P(Drivers, SoundOutputWithoutServer,
    testing::Values("pulseaudio", "pulseaudio,alsa"));

} // namespace
