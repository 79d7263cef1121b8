#include "TakeWriter.h"

#include "Clock.h"
#include "RenderFile.h"
#include "Report.h"
#include "StopSignals.h"
#include "TakeOptions.h"
#include "VoiceMixer.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A lossy file is encoded at most this many times to bring its peak
// within kNearEnough decibels of -1 dBFS, and once more at the best of
// those gains if none did.
constexpr int kMaxTries = 4;
constexpr double kNearEnough = 0.3;

int ProcessorCount()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

std::string Duration(bigtime_t microseconds)
{
    long long seconds = microseconds / 1000000;
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

// The gain, rounded down to a hundredth of a decibel, that brings a mix
// whose peak is `peak` at `gain` decibels to a peak of -1 dBFS; `gain` for
// silence.
double GainForPeak(double gain, float peak)
{
    if (peak == 0)
        return gain;
    double fitting = std::floor((gain - 1 - 20 * std::log10(static_cast<double>(peak))) * 100) / 100;
    // Plus 0: no "-0.00" in a line.
    return std::clamp(fitting, -TakeOptions::kMaxGain, TakeOptions::kMaxGain) + 0.0;
}

// How many decibels `peak` is off -1 dBFS; nothing for silence.
double Miss(float peak)
{
    return peak == 0 ? 0 : std::fabs(20 * std::log10(static_cast<double>(peak)) + 1);
}

} // namespace

// A line on a terminal's stderr saying how far the take has come, redrawn
// a few times a second; nothing when stderr is no terminal.
class TakeWriter::Progress {
public:
    Progress(int64 total, const StopSignals& stops)
        : fTotal(total),
          fShown(isatty(STDERR_FILENO) == 1),
          fStops(stops)
    {
    }

    // Counts on `frames` more to do.
    void Extend(int64 frames) { fTotal += frames; }

    // Counts `frames` more done.
    void Advance(int64 frames)
    {
        fDone += frames;
        bigtime_t now = system_time();
        if (!fShown || now - fLastUpdate < 250000)
            return;
        fLastUpdate = now;
        bigtime_t elapsed = now - fStart;
        // In floating point: a day's take after an hour would overflow.
        double part = fDone > 0 ? static_cast<double>(fTotal - fDone) / fDone : 0;
        auto left = static_cast<bigtime_t>(elapsed * part);
        char line[128];
        snprintf(line, sizeof line, "\r%s: %3d%%, %s elapsed, %s left\033[K", ProgramName(),
            static_cast<int>(fDone * 100 / fTotal), Duration(elapsed).c_str(), Duration(left).c_str());
        fStops.Say(line);
    }

    void Clear()
    {
        if (fShown && fLastUpdate > 0)
            fStops.Say("\r\033[K");
    }

private:
    int64 fTotal;
    int64 fDone = 0;
    bool fShown;
    const StopSignals& fStops;
    bigtime_t fStart = system_time();
    bigtime_t fLastUpdate = 0;
};

TakeWriter::TakeWriter(RenderFile& file, const StopSignals& stops)
    : fFile(file),
      fStops(stops)
{
}

void TakeWriter::Say(const std::string& what) const
{
    fStops.Say(ReportedLine(what));
}

Result<> TakeWriter::Play(Voices voices, int64 frames, float factor, bool write,
    SoundLevel* level, Progress& progress)
{
    auto mixer = VoiceMixer::Start(std::move(voices), frames, ProcessorCount(), fStops.Descriptor());
    if (!mixer)
        return Error { mixer.code(), "couldn't start the voices: " + mixer.reason() };

    std::vector<float> mix(VoiceMixer::kChunkFrames * 2);
    for (;;) {
        Result<int64> count = (*mixer)->Next(mix.data());
        if (!count)
            return count.error();
        if (*count == 0)
            return {};
        if (factor != 1.0f) {
            for (int64 i = 0; i < 2 * *count; i++)
                mix[i] *= factor;
        }
        level->Measure(mix.data(), 2 * *count);
        if (write) {
            if (Result<> written = fFile.Write(mix.data(), *count); !written)
                return written;
        }
        progress.Advance(*count);
    }
}

Result<SoundLevel> TakeWriter::Encode(const std::function<Voices()>& makeVoices, int64 frames,
    double gain, Progress& progress)
{
    SoundLevel level;
    const auto factor = static_cast<float>(std::pow(10.0, gain / 20));
    Result<> done = Play(makeVoices(), frames, factor, true, &level, progress);
    if (done)
        done = fFile.Finish();
    if (!done)
        return done.error();
    if (fFile.Lossy())
        return fFile.DecodedLevel(fStops.Descriptor());
    return level;
}

Result<SoundLevel> TakeWriter::EncodeNearTarget(const std::function<Voices()>& makeVoices,
    int64 frames, double* gain, Progress& progress)
{
    double bestGain = *gain;
    double bestMiss = HUGE_VAL;
    for (int encodes = 1;; encodes++) {
        Result<SoundLevel> level = Encode(makeVoices, frames, *gain, progress);
        // The one after the last try repeats the best one.
        if (!level || encodes > kMaxTries)
            return level;
        double miss = Miss(level->peak);
        if (miss <= kNearEnough || (encodes == kMaxTries && miss < bestMiss))
            return level;
        if (miss < bestMiss) {
            bestMiss = miss;
            bestGain = *gain;
        }
        *gain = encodes == kMaxTries ? bestGain : GainForPeak(*gain, level->peak);
        progress.Extend(frames);
        if (Result<> restarted = fFile.Restart(); !restarted)
            return restarted.error();
    }
}

int TakeWriter::Write(const std::function<Voices()>& makeVoices, int64 frames,
    std::optional<double> gain)
{
    const bool fixed = gain.has_value();
    Progress progress(fixed ? frames : 2 * frames, fStops);
    Result<SoundLevel> level = SoundLevel {};
    if (!fixed) {
        if (Result<> measured = Play(makeVoices(), frames, 1.0f, false, &*level, progress); !measured)
            level = measured.error();
        gain = GainForPeak(0, level ? level->peak : 0);
    }
    if (level) {
        level = fixed || !fFile.Lossy() ? Encode(makeVoices, frames, *gain, progress)
                                        : EncodeNearTarget(makeVoices, frames, &*gain, progress);
    }
    Result<> done = level ? fFile.Commit() : Result<>(level.error());
    progress.Clear();

    if (done.code() == B_INTERRUPTED)
        return 128 + fStops.Received();
    if (!done) {
        Say(done.reason());
        return kFailed;
    }
    SayLevel(*level, *gain, fixed);
    return kWritten;
}

void TakeWriter::SayLevel(const SoundLevel& level, double gain, bool fixed) const
{
    char line[160];
    if (!fixed && level.peak == 0) {
        Say("the take is silent: gain 0.00 dB");
    } else if (!fixed) {
        snprintf(line, sizeof line, "gain %.2f dB puts the peak at %.2f dBFS", gain,
            20 * std::log10(static_cast<double>(level.peak)));
        Say(line);
    } else if (level.over > 0) {
        // Float samples keep what is past full scale, but players clip it.
        snprintf(line, sizeof line, "%lld samples went past full scale%s; --gain %.2f keeps them in",
            static_cast<long long>(level.over),
            fFile.Clips() ? " and were clipped" : ", where players clip them",
            GainForPeak(gain, level.peak));
        Say(line);
    }
}
