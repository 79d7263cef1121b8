// The renderer as a user runs it: files of each type, the same take twice,
// a take against its voices alone and against the fill function driven by
// hand, bad arguments and numbers, signals, a file-size limit, closed
// standard descriptors, a stderr that takes nothing, and another user
// swapping the output for a link.

#include "AudioSubs.h"
#include "BufferProc.h"
#include "ChildProcess.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"
#include "gondavel_wubbixWindow.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::vector<float> Samples(const std::string& path);

std::vector<std::string> Environment()
{
    std::vector<std::string> environment = SanitizerEnvironment();
    environment.push_back(PathVariable());
    return environment;
}

// Whether process `pid` holds a file in `directory` open, named or not,
// with something written in it.
bool Writing(pid_t pid, const std::string& directory)
{
    for (int fd = 3; fd < 64; fd++) {
        std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        std::error_code error;
        struct stat status;
        if (std::filesystem::read_symlink(path, error).string().starts_with(directory + "/")
            && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
            return true;
    }
    return false;
}

class RenderTest : public testing::Test {
protected:
    // Runs the renderer with `arguments` to its end, within 60 seconds,
    // under a limit on the size of the files it writes.
    ChildProcess::Result Render(std::vector<std::string> arguments,
        rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        arguments.insert(arguments.begin(), kRenderPath);
        rlimit previous {};
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limit { fileSizeLimit, previous.rlim_max };
        setrlimit(RLIMIT_FSIZE, &limit);
        ChildProcess::Result result = ChildProcess::Run(arguments, Environment(), 60s);
        setrlimit(RLIMIT_FSIZE, &previous);
        EXPECT_TRUE(result.exited) << "still running after 60 s";
        return result;
    }

    // The samples of a two-second take of `instances` of `seed`, at 0 dB.
    std::vector<float> Take(unsigned seed, int instances = 1)
    {
        const std::string voices = std::to_string(instances), from = std::to_string(seed);
        const std::string name = File("take" + from + "x" + voices + ".wav");
        Render({ "--seconds", "2", "--seed", from, "--instances", voices, "--gain", "0", "-o", name });
        return Samples(name);
    }

    // The two-second takes of one voice of each of `seeds`, added up.
    std::vector<float> SumOfVoices(const std::vector<unsigned>& seeds)
    {
        std::vector<float> sum = Take(seeds[0]);
        for (size_t voice = 1; voice < seeds.size(); voice++) {
            std::vector<float> alone = Take(seeds[voice]);
            for (size_t i = 0; i < std::min(sum.size(), alone.size()); i++)
                sum[i] += alone[i];
        }
        return sum;
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
        ChildProcess::Result result = ChildProcess::Run({ "soxi", option, File(name) }, { PathVariable() }, 20s);
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

// Two seconds span several of the chunks the voices hand over and all the
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
    std::vector<float> sum = SumOfVoices({ 77, 78, 79, 80, 81, 82 });
    ASSERT_EQ(sum.size(), 2u * 88200);
    const auto gain = static_cast<float>(std::pow(10.0, -14.0 / 20));
    for (float& sample : sum)
        sample *= gain;
    EXPECT_EQ(CountDifferences(Samples(File("a.wav")), sum), 0u);
}

// A seed's sound never changes: these takes at 0 dB are kept as their
// checksums.
TEST_F(RenderTest, TakesOfAFewSeedsAreTheBytesTheyAlwaysWere)
{
    const std::vector<std::vector<std::string>> takes = {
        { "0", "2", "t.wav", "2c01585c4ac81b1eacf34e527190533a49fe6c06e0e727ed9824fd4d210f1dd2" },
        { "7", "6", "t.wav", "c3c93317fe82295fc232014970397cb6653cddbdea7af35ffe92ae8c9ad98044" },
        { "4294967295", "3", "t.wav", "714d3d4d9ff41e8ee647b083d76a77f10a61287f3917fc523372cd96885e1331" },
        { "99", "3", "t.flac", "b599229ec1d1b6bd5fd4338cde9a0ae6d11e1b3008904be5579a65bfe9536a42" }
    };
    for (const auto& take : takes) {
        ChildProcess::Result rendered = Render({ "--seed", take[0], "--instances", take[1],
            "--seconds", "3", "--gain", "0", "-o", File(take[2]) });
        ASSERT_EQ(rendered.exitCode, 0);
        ChildProcess::Result sum = ChildProcess::Run({ "sha256sum", File(take[2]) }, { PathVariable() }, 10s);
        EXPECT_EQ(sum.output.substr(0, 64), take[3]) << "seed " << take[0];
    }
}

TEST_F(RenderTest, TheFirstPulsePeriodIsTheFillFunctionFromTheSameStartUp)
{
    ChildProcess::Result first = Render({ "--seconds", "0.1", "--seed", "4242", "--gain", "0",
        "-o", File("first.wav") });
    ASSERT_EQ(first.exitCode, 0);

    gondavel_wubbixWindow window(BPoint(0, 0), 20, 20, "by hand");
    window.InitSilent(4242);
    std::vector<float> byHand(2 * 4410);
    BufferProc(window.Engine(), byHand.data(), byHand.size() * sizeof(float), EngineFormat());
    EXPECT_EQ(CountDifferences(Samples(File("first.wav")), byHand), 0u);
}

// By default a take peaks at -1 dBFS as a player decodes it, and the line
// that says so gives the gain that makes the same take; at a fixed gain,
// a take past full scale says so in every type.
TEST_F(RenderTest, EachTypeOpensWithItsRateChannelsLengthEncodingAndPeak)
{
    const std::tuple<std::string, const char*, double> types[] = {
        { "wav", "Floating Point PCM", 0.1 }, { "flac", "FLAC", 0.1 }, { "ogg", "Vorbis", 0.6 }
    };
    for (const auto& [type, encoding, within] : types) {
        const std::string name = "take." + type;
        ChildProcess::Result take
            = Render({ "--instances", "6", "--seconds", "1.5", "--seed", "5", "-o", File(name) });
        EXPECT_EQ(take.exitCode, 0) << take.output;
        double gain = 0, said = 0;
        const char* lines = "gondavel_wubbix-render: seed 5\n"
                            "gondavel_wubbix-render: gain %lf dB puts the peak at %lf dBFS\n";
        EXPECT_EQ(sscanf(take.output.c_str(), lines, &gain, &said), 2) << take.output;
        std::vector<float> samples = Samples(File(name));
        float peak = 0;
        for (float sample : samples)
            peak = std::max(peak, std::fabs(sample));
        EXPECT_NEAR(20 * std::log10(peak), -1, within) << name;
        EXPECT_NEAR(20 * std::log10(peak), said, 0.01) << name;
        EXPECT_EQ(Soxi("-r", name), "44100") << name;
        EXPECT_EQ(Soxi("-c", name), "2") << name;
        EXPECT_EQ(Soxi("-s", name), "66150") << name;
        EXPECT_EQ(Soxi("-e", name), encoding) << name;

        ChildProcess::Result loud = Render({ "--instances", "6", "--seconds", "1.5", "--seed", "5",
            "--gain", "0", "-o", File("loud." + type) });
        const char* clipped = type == "flac" ? " and were clipped; --gain -1"
                                             : ", where players clip them; --gain -1";
        EXPECT_NE(loud.output.find(clipped), std::string::npos) << loud.output;
        if (type == "wav") {
            char fixed[16];
            snprintf(fixed, sizeof fixed, "%.2f", gain);
            ChildProcess::Result same = Render({ "--instances", "6", "--seconds", "1.5", "--seed", "5",
                "--gain", fixed, "-o", File("fixed.wav") });
            ASSERT_EQ(same.exitCode, 0);
            EXPECT_EQ(ReadFile(File("fixed.wav")), ReadFile(File(name)));
        }
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
        { "-o", File("two\nlines\033]0;title\a.mp3") },
    };
    for (const std::vector<std::string>& arguments : cases) {
        ChildProcess::Result result = Render(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments[0];
        EXPECT_EQ(Lines(result.output).size(), 1u) << result.output;
        EXPECT_TRUE(result.output.starts_with("gondavel_wubbix-render: ")) << result.output;
        EXPECT_EQ(result.output.find('\033'), std::string::npos) << result.output;
    }
    EXPECT_EQ(Files(), std::set<std::string> {});
}

// Numbers mean what they say in decimal, and no two voices of a take are
// the same, though the C library takes seeds 0 and 1 as one.
TEST_F(RenderTest, NumbersAreDecimalAndNoTwoVoicesOfATakeAreTheSame)
{
    const std::pair<const char*, const char*> cases[] = {
        { "--instances", "0x10" }, { "--instances", "1e1" }, { "--instances", "+2" },
        { "--instances", "2.0" }, { "--seed", "0x1F" }, { "--seed", "1e3" },
        { "--seconds", "1e0" }, { "--seconds", "0x1p0" }, { "--seconds", "inf" },
        { "--gain", "nan" }, { "--gain", "-1e1" }, { "--gain", "." }, { "--gain", " 1" }
    };
    for (const auto& [option, value] : cases) {
        ChildProcess::Result result = Render({ option, value, "-o", File("x.wav") });
        EXPECT_EQ(result.exitCode, 2) << option << " " << value;
        EXPECT_EQ(Lines(result.output).size(), 1u) << result.output;
    }
    EXPECT_EQ(Files(), std::set<std::string> {});

    // After 0 comes 2, also where the count passes 4294967295.
    EXPECT_EQ(CountDifferences(Take(0), Take(1)), 0u);
    EXPECT_NE(CountDifferences(Take(0), Take(2)), 0u);
    EXPECT_EQ(CountDifferences(Take(0, 2), SumOfVoices({ 0, 2 })), 0u);
    EXPECT_EQ(CountDifferences(Take(4294967295, 3), SumOfVoices({ 4294967295, 0, 2 })), 0u);
}

// A root render to a name in a shared directory, where another user swaps
// their file there for their link to a victim, again and again, or through
// their link to the victim's directory.
TEST_F(RenderTest, OnlyTheNamedFileIsReplacedAndNeverWithSetuidBits)
{
    // The longest name a file can have; a link to itself; a setuid file.
    const std::string longest = File(std::string(251, 'n') + ".wav");
    EXPECT_EQ(Render({ "--seconds", "0.01", "-o", longest }).exitCode, 0);
    ASSERT_EQ(symlink("loop.wav", File("loop.wav").c_str()), 0);
    EXPECT_EQ(Render({ "--seconds", "0.01", "-o", File("loop.wav") }).exitCode, 2);
    WriteFile(File("setuid.wav"), "old");
    ASSERT_EQ(chmod(File("setuid.wav").c_str(), 06777), 0);
    EXPECT_EQ(Render({ "--seconds", "0.01", "-o", File("setuid.wav") }).exitCode, 0);
    EXPECT_EQ(std::filesystem::status(File("setuid.wav")).permissions(),
        std::filesystem::perms::all);
    // An ACL that keeps the file's group out, though its mode shows the
    // group the mask.
    const std::string acl("\2\0\0\0\1\0\6\0\377\377\377\377\4\0\0\0\377\377\377\377"
                          "\20\0\4\0\377\377\377\377\40\0\0\0\377\377\377\377",
        36);
    const char* const aclName = "system.posix_acl_access";
    if (setxattr(File("setuid.wav").c_str(), aclName, acl.data(), acl.size(), 0) == 0) {
        EXPECT_EQ(Render({ "--seconds", "0.01", "-o", File("setuid.wav") }).exitCode, 0);
        char kept[64] = {};
        EXPECT_EQ(getxattr(File("setuid.wav").c_str(), aclName, kept, sizeof kept), 36);
        EXPECT_EQ(std::string(kept, 36), acl);
    }

    ThrowawayUser other;
    if (other.Uid() == 0)
        GTEST_SKIP() << "needs root, to act as another user";
    // An append-only directory takes a new name but keeps its old ones,
    // and no hidden name is left in it.
    std::filesystem::create_directory(File("kept"));
    WriteFile(File("kept/old.wav"), "old");
    auto chattr = [&](const char* change) {
        return ChildProcess::Run({ "chattr", change, File("kept") }, { PathVariable() }, 10s).exitCode;
    };
    if (chattr("+a") == 0) {
        EXPECT_EQ(Render({ "--seconds", "0.01", "-o", File("kept/new.wav") }).exitCode, 0);
        EXPECT_EQ(Render({ "--seconds", "0.01", "-o", File("kept/old.wav") }).exitCode, 2);
        EXPECT_EQ(Files("kept"), (std::set<std::string> { "new.wav", "old.wav" }));
        chattr("-a");
    }
    TempDirectory shared("render-shared");
    ASSERT_EQ(chmod(shared.Path().c_str(), 01777), 0);
    WriteFile(File("victim.wav"), "victim");
    ASSERT_EQ(chmod(File("victim.wav").c_str(), 0640), 0);
    const std::string take = shared.File("take.wav"), link = shared.File("link");
    const std::string victim = File("victim.wav"), through = shared.File("through");
    pid_t swapper = fork();
    if (swapper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (setgroups(0, nullptr) != 0 || setgid(other.Gid()) != 0 || setuid(other.Uid()) != 0)
            _exit(1);
        if (symlink(fDirectory.Path().c_str(), through.c_str()) != 0)
            _exit(1);
        for (;;) {
            if (syscall(SYS_renameat2, AT_FDCWD, take.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0)
                continue;
            close(open(take.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644));
            // A round the renderer wins is simply lost.
            if (symlink(victim.c_str(), link.c_str()) != 0)
                continue;
        }
    }

    // Each render meets their file and link afresh: what a render left in
    // their place goes.
    auto theirs = [&](const std::string& name) {
        struct stat status;
        return lstat(name.c_str(), &status) == 0 && status.st_uid == other.Uid();
    };
    int refused = 0;
    for (int i = 0; i < 200; i++) {
        for (const std::string& name : { take, link }) {
            if (!theirs(name))
                unlink(name.c_str());
        }
        ASSERT_TRUE(WaitUntil([&] { return theirs(take) && theirs(link); }, 5s));
        refused += Render({ "--seconds", "0.01", "-o", take }).exitCode == 2;
    }
    refused += Render({ "--seconds", "0.01", "-o", through + "/victim.wav" }).exitCode == 2;
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_EQ(refused, 201);
    EXPECT_TRUE(ReadFile(victim) == "victim") << "the victim was replaced";
    EXPECT_EQ(std::filesystem::status(victim).permissions(), static_cast<std::filesystem::perms>(0640));
}

// A file-size limit just short of the whole take fails the last writes,
// which libsndfile makes as it closes the file.
TEST_F(RenderTest, ATakeNotWrittenWholeReplacesNothing)
{
    for (const std::string type : { "flac", "ogg" }) {
        const std::string whole = File("whole." + type), take = File("take." + type);
        ASSERT_EQ(Render({ "--seconds", "3", "--seed", "3", "-o", whole }).exitCode, 0);
        WriteFile(take, "an older take");
        ChildProcess::Result result = Render({ "--seconds", "3", "--seed", "3", "-o", take },
            std::filesystem::file_size(whole) - 1);
        EXPECT_EQ(result.exitCode, 1);
        const std::string refusal = "gondavel_wubbix-render: couldn't write '" + take + "': File too large\n";
        EXPECT_EQ(result.output, "gondavel_wubbix-render: seed 3\n" + refusal);
        EXPECT_EQ(ReadFile(take), "an older take");
    }
    EXPECT_EQ(Files(), (std::set<std::string> { "take.flac", "take.ogg", "whole.flac", "whole.ogg" }));
}

// With stderr closed, the next descriptor opened would take its number.
TEST_F(RenderTest, AClosedStderrLeavesTheTakeAsItIs)
{
    ASSERT_EQ(Render({ "--seconds", "1", "--seed", "9", "-o", File("open.wav") }).exitCode, 0);
    const std::vector<std::string> closedStderr = { "sh", "-c", "exec \"$0\" \"$@\" 2>&-",
        kRenderPath, "--seconds", "1", "--seed", "9", "-o", File("closed.wav") };
    ChildProcess::Result closed = ChildProcess::Run(closedStderr, Environment(), 60s);
    EXPECT_EQ(closed.exitCode, 0);
    EXPECT_TRUE(ReadFile(File("closed.wav")) == ReadFile(File("open.wav"))) << "the takes differ";
}

// Ctrl+C reaches the whole process group, while the take's peak is sought;
// the other signals the renderer alone, while it writes; nothing of it is
// left.
TEST_F(RenderTest, ASignalLeavesNoFileAndTheOldOneAsItWas)
{
    std::filesystem::create_directory(File("out"));
    WriteFile(File("out/take.flac"), "an older take");
    for (int signal : { SIGINT, SIGUSR1, SIGALRM, SIGKILL }) {
        std::vector<std::string> arguments = { kRenderPath, "--instances", "4", "--seconds", "86400",
            "-o", File("out/take.flac") };
        if (signal != SIGINT)
            arguments.insert(arguments.end(), { "--gain", "-12" });
        ChildProcess render(arguments, Environment(), File("output"));
        auto started = [&] {
            return signal == SIGINT ? ReadFile(File("output")).ends_with("\n")
                                    : Writing(render.Pid(), File("out"));
        };
        ASSERT_TRUE(WaitUntil(started, 20s)) << "not started";
        kill(signal == SIGINT ? -render.Pid() : render.Pid(), signal);
        ASSERT_TRUE(render.WaitForExit(10s)) << signal;
        EXPECT_TRUE(WaitUntil([&] { return kill(-render.Pid(), 0) == -1; }, 10s)) << "a process is left";
        EXPECT_EQ(Files("out"), std::set<std::string> { "take.flac" }) << signal;
        EXPECT_EQ(ReadFile(File("out/take.flac")), "an older take") << signal;
        if (signal == SIGINT) {
            EXPECT_EQ(render.ExitCode(), 130);
            EXPECT_EQ(Lines(ReadFile(File("output"))).size(), 1u) << "only the seed";
        }
    }

    // A signal the renderer starts ignoring, as SIGHUP under nohup, it
    // goes on ignoring.
    ChildProcess ignoring({ "env", "--ignore-signal=HUP", kRenderPath, "--instances", "2",
                              "--seconds", "600", "-o", File("out/take.flac") },
        Environment(), File("output"));
    ASSERT_TRUE(WaitUntil([&] { return Writing(ignoring.Pid(), File("out")); }, 20s));
    kill(-ignoring.Pid(), SIGHUP);
    ASSERT_TRUE(ignoring.WaitForExit(60s));
    EXPECT_EQ(ignoring.ExitCode(), 0);

    // A stderr that nobody reads does not stop the take.
    int unread[2];
    ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    close(unread[0]);
    ChildProcess render({ kRenderPath, "--seconds", "1", "-o", File("out/take.flac") },
        Environment(), unread[1]);
    close(unread[1]);
    ASSERT_TRUE(render.WaitForExit(60s));
    EXPECT_EQ(render.ExitCode(), 0);
    EXPECT_EQ(Files("out"), std::set<std::string> { "take.flac" });
    EXPECT_NE(ReadFile(File("out/take.flac")), "an older take");
}

// Nothing the renderer waits on holds it for ever: not SIGCHLD ignored
// from the start, nor a stderr that takes no more, on which a stop still
// ends the render, with its take written.
TEST_F(RenderTest, NothingItWaitsOnHoldsItForEver)
{
    ChildProcess::Result ignoring = ChildProcess::Run({ "env", "--ignore-signal=CHLD", kRenderPath,
                                                          "--seconds", "1", "-o", File("a.wav") },
        Environment(), 30s);
    EXPECT_EQ(ignoring.exitCode, 0);

    // A pipe with room for the seed line, but not for the line on the gain.
    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(full[1], F_SETPIPE_SZ, 4096), 4096);
    const std::string filler(4096 - std::string("gondavel_wubbix-render: seed 3\n").size(), 'x');
    ASSERT_EQ(write(full[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    ChildProcess render({ kRenderPath, "--instances", "6", "--seconds", "1", "--seed", "3", "-o",
                            File("loud.flac") },
        Environment(), full[1]);
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(File("loud.flac")); }, 60s));
    kill(render.Pid(), SIGTERM);
    EXPECT_TRUE(render.WaitForExit(10s)) << "held by stderr";
    EXPECT_EQ(render.ExitCode(), 0);
    close(full[0]);
    close(full[1]);
}
