// Measures BufferProc on 1024-frame stereo buffers, for the sine and the
// ramp, against a bare loop that does the same arithmetic on plain floats and
// locals. The program runs in rounds; each round measures BufferProc and the
// bare loop back to back, so their ratio holds even when the machine is
// noisy. A summary at the end gives the medians over the rounds as multiples
// of real time and as a fraction of the bare loop's speed. Rates are frames
// per CPU second of the benchmark thread.
//
// `--rounds=N` sets the number of rounds (9); the library's flags, such as
// --benchmark_min_time (0.1 s per run here), pass through.
//
// The engine is built on SDL's dummy driver and its player is released at
// once; from then on only this program calls BufferProc on it.

#include "AudioSubs.h"
#include "BufferProc.h"
#include "MediaFormat.h"
#include "ParameterBlock.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr media_raw_audio_format kFormat = EngineFormat();
constexpr size_t kBufferBytes = kFormat.buffer_size;
constexpr size_t kFrames = kBufferBytes / (2 * sizeof(float));
constexpr double kFrameRate = kFormat.frame_rate;
constexpr double kSineGoal = 0.9;     // of the bare loop's speed
constexpr double kRampGoal = 10000.0; // times real time

// The fixed block every run plays.
constexpr float kFrequency = 439.9f;
constexpr float kFeedback = 0.5f;
constexpr int32 kDelayLength = 11025;
constexpr float kGain = 0.70710677f;

AudioSubs* gEngine = nullptr;

// The bare loop's copy of the voice and of the parameters, all plain data.
struct BareVoice {
    std::vector<float> delayLine = std::vector<float>(DELAY_CAPACITY, 0.0f);
    int32 writePos = 0;
    float phase = 0.0f;
    uint16 rampAccumulator = 0;
};

struct BareParams {
    int32 delayLength = kDelayLength;
    float frequency = kFrequency;
    float feedback = kFeedback;
    float leftGain = kGain;
    float rightGain = kGain;
};

BareVoice gBare;
BareParams gBareParams;

void SetParameters(uint32 waveform)
{
    globalWubbix.waveform = waveform;
    globalWubbix.frequency = kFrequency;
    globalWubbix.feedback = kFeedback;
    globalWubbix.delayLength = kDelayLength;
    globalWubbix.leftGain = kGain;
    globalWubbix.rightGain = kGain;
}

// BufferProc's sine, step for step. The parameters come by value, so nothing
// the loop writes can alias them and they are read once per buffer: only the
// atomics and the per-frame reads are missing.
[[gnu::noinline]] void BareSine(BareVoice& voice, const BareParams params, float* out,
    size_t frames)
{
    const auto [delayLength, frequency, feedback, leftGain, rightGain] = params;
    float* delayLine = voice.delayLine.data();
    int32 writePos = voice.writePos;
    float phase = voice.phase;

    for (size_t i = 0; i < frames; i++) {
        float s = static_cast<float>(std::sin(static_cast<double>(phase)) * 32767.0);
        double sum = static_cast<double>(s)
            + static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback);
        if (sum > 32767.0)
            sum -= 65536.0;
        else if (sum < -32768.0)
            sum += 65536.0;
        float v = static_cast<float>(sum);

        out[2 * i] = static_cast<float>(static_cast<double>(v) * leftGain / 32767.0);
        out[2 * i + 1] = static_cast<float>(static_cast<double>(v) * rightGain / 32767.0);
        delayLine[writePos] = v;
        writePos = writePos + 1;
        if (writePos >= delayLength || writePos >= DELAY_CAPACITY)
            writePos = 0;

        phase = static_cast<float>(phase + 6.28 / (44100.0 / (static_cast<double>(frequency) + 0.1)));
        if (phase > 6.28)
            phase = static_cast<float>(phase - 6.28);
    }
    voice.writePos = writePos;
    voice.phase = phase;
}

// BufferProc's ramp, step for step, with the parameters read once per buffer
// as in BareSine. The fixed frequency fits an int32, so its increment is a
// plain cast.
[[gnu::noinline]] void BareRamp(BareVoice& voice, const BareParams params, float* out,
    size_t frames)
{
    const auto [delayLength, frequency, feedback, leftGain, rightGain] = params;
    const auto increment = static_cast<uint16>(static_cast<int32>(frequency));
    float* delayLine = voice.delayLine.data();
    int32 writePos = voice.writePos;
    uint16 accumulator = voice.rampAccumulator;

    for (size_t i = 0; i < frames; i++) {
        accumulator = static_cast<uint16>(accumulator + increment);
        int32 fed = static_cast<int32>(
            static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback));
        auto sample = static_cast<int16>(static_cast<uint16>(accumulator + static_cast<uint32>(fed)));

        out[2 * i] = static_cast<float>(leftGain * static_cast<double>(sample) / 32767.0);
        out[2 * i + 1] = static_cast<float>(rightGain * static_cast<double>(sample) / 32767.0);
        delayLine[writePos] = sample;
        writePos = writePos + 1;
        if (writePos >= delayLength || writePos >= DELAY_CAPACITY)
            writePos = 0;
    }
    voice.writePos = writePos;
    voice.rampAccumulator = accumulator;
}

void SetCounters(benchmark::State& state)
{
    auto frames = static_cast<double>(state.iterations() * kFrames);
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["audio_s"] = benchmark::Counter(frames / kFrameRate,
        benchmark::Counter::kIsRate);
}

void BM_BufferProc(benchmark::State& state, uint32 waveform)
{
    SetParameters(waveform);
    std::vector<float> out(kFrames * 2);
    for (auto _ : state) {
        BufferProc(gEngine, out.data(), kBufferBytes, kFormat);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state);
}

void BM_Bare(benchmark::State& state, uint32 waveform)
{
    std::vector<float> out(kFrames * 2);
    for (auto _ : state) {
        // The parameters may have changed as far as the compiler knows, so
        // nothing about them is folded in at compile time.
        benchmark::DoNotOptimize(gBareParams);
        if (waveform == WAVE_SINE)
            BareSine(gBare, gBareParams, out.data(), kFrames);
        else
            BareRamp(gBare, gBareParams, out.data(), kFrames);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state);
}

// Renders a few buffers both ways from the same state and compares them bit
// for bit, so the bare loop is known to do exactly BufferProc's work.
bool BareLoopMatches(uint32 waveform)
{
    SetParameters(waveform);
    std::fill(gEngine->delayLine, gEngine->delayLine + DELAY_CAPACITY, 0.0f);
    gEngine->writePos = 0;
    gEngine->phase = 0.0f;
    gEngine->rampAccumulator = 0;
    gBare = BareVoice();

    std::vector<float> real(kFrames * 2);
    std::vector<float> bare(kFrames * 2);
    // Enough buffers to go round the delay line a few times.
    for (int n = 0; n < 64; n++) {
        BufferProc(gEngine, real.data(), kBufferBytes, kFormat);
        if (waveform == WAVE_SINE)
            BareSine(gBare, gBareParams, bare.data(), kFrames);
        else
            BareRamp(gBare, gBareParams, bare.data(), kFrames);
        if (std::memcmp(real.data(), bare.data(), kBufferBytes) != 0)
            return false;
    }
    return true;
}

// Passes runs to the console, showing the context only once, and keeps each
// benchmark's rate per round.
class RoundReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, as the library's own reporter does.
    RoundReporter()
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular)
    {
    }

    bool ReportContext(const Context& context) override
    {
        if (fContextShown)
            return true;
        fContextShown = true;
        return ConsoleReporter::ReportContext(context);
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            auto it = run.counters.find("frames/s");
            if (it != run.counters.end())
                fLatest[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The rate the last run of `name` reached, or 0 if it didn't run.
    double Take(const std::string& name)
    {
        double rate = fLatest[name];
        fLatest[name] = 0.0;
        return rate;
    }

private:
    bool fContextShown = false;
    std::map<std::string, double> fLatest;
};

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// One waveform's rates, BufferProc's and the bare loop's, round by round.
struct Pairs {
    std::vector<double> real;
    std::vector<double> ratio;
    std::vector<double> bare;

    void Add(double realRate, double bareRate)
    {
        if (realRate <= 0.0 || bareRate <= 0.0)
            return;
        real.push_back(realRate);
        bare.push_back(bareRate);
        ratio.push_back(realRate / bareRate);
    }
};

void PrintSummary(const Pairs& sine, const Pairs& ramp)
{
    printf("\nMedians over %zu rounds (the ratio is taken within each round):\n", sine.real.size());
    if (!sine.real.empty()) {
        double rate = Median(sine.real);
        double ratio = Median(sine.ratio);
        printf("sine: %.0fx real time (%.1fM frames/s), %.2f of the bare loop (goal >= %.1f: %s)\n",
            rate / kFrameRate, rate / 1e6, ratio, kSineGoal, ratio >= kSineGoal ? "met" : "MISSED");
    }
    if (!ramp.real.empty()) {
        double factor = Median(ramp.real) / kFrameRate;
        printf("ramp: %.0fx real time (%.1fM frames/s) (goal >= %.0fx: %s), "
               "%.2f of the bare loop (%.0fx real time)\n",
            factor, factor * kFrameRate / 1e6, kRampGoal, factor >= kRampGoal ? "met" : "MISSED",
            Median(ramp.ratio), Median(ramp.bare) / kFrameRate);
    }
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__)
    printf("note: this build is unoptimised or sanitised; the figures mean little\n");
#endif
}

// Runs the one benchmark called `name` and returns its rate.
double RunOne(RoundReporter& reporter, const std::string& name)
{
    benchmark::RunSpecifiedBenchmarks(&reporter, "^" + name + "$");
    return reporter.Take(name);
}

} // namespace

int main(int argc, char** argv)
{
    // A real engine, but on the dummy driver and with its player released at
    // once, so nothing but this program calls BufferProc on it.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    AudioSubs engine;
    engine.CleanUp();
    gEngine = &engine;

    // BufferProc prints the format on its first call of the process; get
    // that out of the way before the tables start.
    BufferProc(gEngine, std::vector<float>(kFrames * 2).data(), kBufferBytes, kFormat);

    bool sineMatches = BareLoopMatches(WAVE_SINE);
    bool rampMatches = BareLoopMatches(WAVE_RAMP);
    printf("bare loop renders the same samples as BufferProc: sine %s, ramp %s\n",
        sineMatches ? "yes" : "NO", rampMatches ? "yes" : "NO");
    fflush(stdout);

    // Our own flag, then the library's defaults, so that flags given on the
    // command line override them.
    int rounds = 9;
    std::vector<char*> args { argv[0] };
    std::string defaults[] = {
        "--benchmark_min_time=0.1",
    };
    for (std::string& flag : defaults)
        args.push_back(flag.data());
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, atoi(argv[i] + 9));
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;

    benchmark::RegisterBenchmark("BufferProc/sine", BM_BufferProc, WAVE_SINE);
    benchmark::RegisterBenchmark("bare/sine", BM_Bare, WAVE_SINE);
    benchmark::RegisterBenchmark("BufferProc/ramp", BM_BufferProc, WAVE_RAMP);
    benchmark::RegisterBenchmark("bare/ramp", BM_Bare, WAVE_RAMP);

    // Each round measures BufferProc and the bare loop back to back, in
    // alternating order, so that a slow spell of the machine hits both sides
    // of a ratio alike.
    RoundReporter reporter;
    Pairs sine;
    Pairs ramp;
    for (int round = 0; round < rounds; round++) {
        bool realFirst = round % 2 == 0;
        for (auto [waveform, pairs] : { std::pair { "sine", &sine }, std::pair { "ramp", &ramp } }) {
            std::string real = std::string("BufferProc/") + waveform;
            std::string bare = std::string("bare/") + waveform;
            double realRate = realFirst ? RunOne(reporter, real) : 0.0;
            double bareRate = RunOne(reporter, bare);
            if (!realFirst)
                realRate = RunOne(reporter, real);
            pairs->Add(realRate, bareRate);
        }
    }
    PrintSummary(sine, ramp);
    benchmark::Shutdown();
    return 0;
}
