// The renderer as a user runs it: files of each type, the same take twice,
// a take against its voices alone and against the fill function driven by
// hand, bad arguments and an interruption.

#include "AudioSubs.h"
#include "BufferProc.h"
#include "ChildProcess.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class RenderTest : public testing::Test {
protected:
    // Runs the renderer with `arguments` to its end, within 60 seconds.
    ChildProcess::Result Render(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), RENDER_PATH);
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.push_back(PathVariable());
        ChildProcess::Result result = ChildProcess::Run(arguments, environment, 60s);
        EXPECT_TRUE(result.exited) << "still running after 60 s";
        return result;
    }

    std::string File(const std::string& name) const { return fDirectory.File(name); }

    // The names in the test's directory, or in `subdirectory` of it.
    std::set<std::string> Files(const std::string& subdirectory = "") const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(File(subdirectory)))
            names.insert(entry.path().filename());
        return names;
    }

    std::string Soxi(const std::string& option, const std::string& name)
    {
        ChildProcess::Result result = ChildProcess::Run({ "soxi", option, File(name) },
            { PathVariable() }, 20s);
        std::vector<std::string> lines = Lines(result.output);
        std::erase_if(lines, [](const std::string& line) { return line.find("WARN") != std::string::npos; });
        return lines.empty() ? "" : lines.back();
    }

    TempDirectory fDirectory { "render-test" };
};

// The frames of a float WAV file, interleaved stereo.
std::vector<float> Samples(const std::string& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return {};
    std::vector<float> samples(static_cast<size_t>(info.frames) * 2);
    sf_count_t read = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    samples.resize(static_cast<size_t>(read) * 2);
    return samples;
}

size_t CountDifferences(const std::vector<float>& a, const std::vector<float>& b)
{
    size_t count = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++)
        count += a[i] != b[i];
    return count;
}

} // namespace

// Two seconds span several of the chunks the workers hand over and all the
// slots they reuse, and twenty pulses.
TEST_F(RenderTest, TheSameTakeGivesTheSameBytesAndIsTheSumOfItsVoicesAlone)
{
    // The second take of each type in another second of the clock: a file
    // that carried the time it was written would differ.
    time_t start = time(nullptr);
    for (const char* name : { "a.wav", "a.flac", "b.wav", "b.flac" }) {
        if (name[0] == 'b')
            WaitUntil([&] { return time(nullptr) != start; }, 2s);
        ChildProcess::Result take = Render({ "--instances", "6", "--seconds", "2", "--seed", "77",
            "--gain", "-14", "-o", File(name) });
        EXPECT_EQ(take.exitCode, 0);
        EXPECT_EQ(take.output, "gondavel_wubbix-render: seed 77\n");
    }
    EXPECT_EQ(ReadFile(File("a.wav")), ReadFile(File("b.wav")));
    EXPECT_EQ(ReadFile(File("a.flac")), ReadFile(File("b.flac")));

    // Voice i of seed 77 is the one voice of seed 77 + i; the mix adds them
    // in order, then applies the gain.
    std::vector<float> sum;
    for (int voice = 0; voice < 6; voice++) {
        std::string name = "voice" + std::to_string(voice) + ".wav";
        Render({ "--seconds", "2", "--seed", std::to_string(77 + voice), "-o", File(name) });
        std::vector<float> alone = Samples(File(name));
        ASSERT_EQ(alone.size(), 2u * 88200);
        if (voice == 0)
            sum = alone;
        for (size_t i = 0; voice > 0 && i < sum.size(); i++)
            sum[i] += alone[i];
    }
    const auto gain = static_cast<float>(std::pow(10.0, -14.0 / 20));
    for (float& sample : sum)
        sample *= gain;
    EXPECT_EQ(CountDifferences(Samples(File("a.wav")), sum), 0u);
}

TEST_F(RenderTest, TheFirstPulsePeriodIsTheFillFunctionFromTheSameStartUp)
{
    ASSERT_EQ(Render({ "--seconds", "0.1", "--seed", "4242", "-o", File("first.wav") }).exitCode, 0);

    gondavel_wubbixWindow window(BPoint(0, 0), 20, 20, "by hand");
    window.InitSilent(4242);
    std::vector<float> byHand(2 * 4410);
    BufferProc(window.Engine(), byHand.data(), byHand.size() * sizeof(float), EngineFormat());
    EXPECT_EQ(CountDifferences(Samples(File("first.wav")), byHand), 0u);
}

TEST_F(RenderTest, EachTypeOpensWithItsRateChannelsLengthAndEncoding)
{
    const std::pair<const char*, const char*> types[] = {
        { "take.wav", "Floating Point PCM" },
        { "take.flac", "FLAC" },
        { "take.ogg", "Vorbis" },
    };
    for (const auto& [name, encoding] : types) {
        // Six voices at full gain go past full scale: only FLAC clips, and
        // says so.
        ChildProcess::Result take
            = Render({ "--instances", "6", "--seconds", "1.5", "-o", File(name) });
        EXPECT_EQ(take.exitCode, 0) << take.output;
        bool clipped = take.output.find("were clipped; --gain -") != std::string::npos;
        EXPECT_EQ(clipped, std::string(name) == "take.flac") << take.output;
        EXPECT_EQ(Soxi("-r", name), "44100") << name;
        EXPECT_EQ(Soxi("-c", name), "2") << name;
        EXPECT_EQ(Soxi("-s", name), "66150") << name;
        EXPECT_EQ(Soxi("-e", name), encoding) << name;
    }
    EXPECT_EQ(Soxi("-b", "take.flac"), "24");
}

TEST_F(RenderTest, BadArgumentsSayOneLineAndWriteNothing)
{
    const std::vector<std::string> cases[] = {
        { "--loud", "-o", File("x.wav") },
        { "--seconds", "ten", "-o", File("x.wav") },
        { "--seconds", "-1", "-o", File("x.wav") },
        { "--seconds", "0", "-o", File("x.flac") },
        { "--seconds", "86401", "-o", File("x.wav") },
        { "--instances", "65", "-o", File("x.wav") },
        { "--seed", "-5", "-o", File("x.wav") },
        { "--gain", "loud", "-o", File("x.wav") },
        { "--seconds", "1" },
        { "-o", File("x.mp3") },
        { "-o", File("missing/x.wav") },
        { "-o", fDirectory.Path() + "/" },
    };
    for (const std::vector<std::string>& arguments : cases) {
        ChildProcess::Result result = Render(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments[0];
        EXPECT_EQ(Lines(result.output).size(), 1u) << result.output;
        EXPECT_TRUE(result.output.starts_with("gondavel_wubbix-render: ")) << result.output;
    }
    EXPECT_EQ(Files(), std::set<std::string> {});
}

// Ctrl+C reaches the renderer and its workers alike.
TEST_F(RenderTest, AnInterruptedTakeLeavesNoFileAndTheOldOneAsItWas)
{
    std::filesystem::create_directory(File("out"));
    { std::ofstream(File("out/take.flac")) << "an older take"; }
    std::vector<std::string> environment = SanitizerEnvironment();
    environment.push_back(PathVariable());
    ChildProcess render({ RENDER_PATH, "--instances", "4", "--seconds", "86400", "-o",
                            File("out/take.flac") },
        environment, File("output"));

    ASSERT_TRUE(WaitUntil([&] {
        for (const auto& entry : std::filesystem::directory_iterator(File("out"))) {
            if (entry.path().filename() != "take.flac" && entry.file_size() > 0)
                return true;
        }
        return false;
    }, 20s)) << "nothing written";
    kill(-render.Pid(), SIGINT);
    ASSERT_TRUE(render.WaitForExit(10s));
    EXPECT_EQ(render.ExitCode(), 130);
    EXPECT_EQ(kill(-render.Pid(), 0), -1) << "a worker is left";
    EXPECT_EQ(Files("out"), std::set<std::string> { "take.flac" });
    EXPECT_EQ(ReadFile(File("out/take.flac")), "an older take");
    EXPECT_EQ(Lines(ReadFile(File("output"))).size(), 1u) << "only the seed";
}
