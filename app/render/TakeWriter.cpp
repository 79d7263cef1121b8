#include "TakeWriter.h"

#include "Clock.h"
#include "RenderFile.h"
#include "Report.h"
#include "StopSignals.h"
#include "VoiceMixer.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

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

// A line on a terminal's stderr saying how far the take has come, redrawn
// a few times a second; nothing when stderr is no terminal.
class Progress {
public:
    Progress(const char* tool, int64 total, const StopSignals& stops)
        : fTool(tool),
          fTotal(total),
          fShown(isatty(STDERR_FILENO) == 1),
          fStops(stops)
    {
    }

    void Update(int64 done)
    {
        bigtime_t now = system_time();
        if (!fShown || now - fLastUpdate < 250000)
            return;
        fLastUpdate = now;
        bigtime_t elapsed = now - fStart;
        // In floating point: a day's take after an hour would overflow.
        double part = done > 0 ? static_cast<double>(fTotal - done) / done : 0;
        auto left = static_cast<bigtime_t>(elapsed * part);
        char line[128];
        snprintf(line, sizeof line, "\r%s: %3d%%, %s elapsed, %s left\033[K", fTool,
            static_cast<int>(done * 100 / fTotal), Duration(elapsed).c_str(), Duration(left).c_str());
        fStops.Say(line);
    }

    void Clear()
    {
        if (fShown && fLastUpdate > 0)
            fStops.Say("\r\033[K");
    }

private:
    const char* fTool;
    int64 fTotal;
    bool fShown;
    const StopSignals& fStops;
    bigtime_t fStart = system_time();
    bigtime_t fLastUpdate = 0;
};

} // namespace

TakeWriter::TakeWriter(const char* tool, RenderFile& file, const StopSignals& stops)
    : fTool(tool),
      fFile(file),
      fStops(stops)
{
}

std::string TakeWriter::Line(const std::string& what) const
{
    return std::string(fTool) + ": " + Printable(what) + "\n";
}

void TakeWriter::Say(const std::string& what) const
{
    fStops.Say(Line(what));
}

int TakeWriter::Write(std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, double gain)
{
    auto mixer = VoiceMixer::Start(std::move(voices), frames, ProcessorCount(), fStops.Descriptor());
    if (!mixer) {
        Say("couldn't start the voices: " + mixer.reason());
        return kFailed;
    }

    const auto factor = static_cast<float>(std::pow(10.0, gain / 20));
    std::vector<float> mix(VoiceMixer::kChunkFrames * 2);
    Progress progress(fTool, frames, fStops);
    Result<> done;
    for (int64 mixed = 0; done;) {
        Result<int64> count = (*mixer)->Next(mix.data());
        if (!count) {
            done = count.error();
            break;
        }
        if (*count == 0)
            break;
        if (factor != 1.0f) {
            for (int64 i = 0; i < 2 * *count; i++)
                mix[i] *= factor;
        }
        done = fFile.Write(mix.data(), *count);
        mixed += *count;
        progress.Update(mixed);
    }
    mixer->reset();
    if (done)
        done = fFile.Commit();
    progress.Clear();

    if (done.code() == B_INTERRUPTED)
        return 128 + fStops.Received();
    if (!done) {
        Say(done.reason());
        return kFailed;
    }
    if (fFile.ClippedSamples() > 0) {
        // The gain that would have kept the loudest sample in, rounded down
        // to a tenth of a decibel.
        double over = 20 * std::log10(static_cast<double>(fFile.ClippedPeak()));
        double fits = gain - std::ceil(over * 10) / 10;
        char line[128];
        snprintf(line, sizeof line, "%lld samples went past full scale and were clipped; --gain %.1f "
                                    "keeps them in",
            static_cast<long long>(fFile.ClippedSamples()), fits);
        Say(line);
    }
    return kWritten;
}
