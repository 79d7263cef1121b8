#pragma once

// Writes a take: plays its voices on threads (see VoiceMixer), turns the
// mix by the gain and writes it to its file, which takes its name once
// whole. Without a fixed gain the voices play twice: once to find the mix's
// peak, then at the gain that brings that peak to -1 dBFS, which a line
// then gives; a lossy file is decoded again and, where its peak came out
// elsewhere, written anew (see EncodeNearTarget). With a fixed gain, a line says how many samples went past
// full scale, if any did, and the gain that would have kept them in. On a
// terminal a line on stderr shows how far the take has come. The lines
// start with the program's name (see Report.h). Stop signals end the take
// between two chunks. The main thread only.

#include "OfflineVoice.h"
#include "RenderFile.h"
#include "Result.h"
#include "SupportDefs.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class StopSignals;

class TakeWriter {
public:
    // Exit statuses of Write(); a stop gives 128 plus the signal's number.
    static constexpr int kWritten = 0;
    static constexpr int kFailed = 1;

    TakeWriter(RenderFile& file, const StopSignals& stops);

    using Voices = std::vector<std::unique_ptr<OfflineVoice>>;

    // Writes `frames` frames of the voices that `makeVoices` makes, from
    // their start and the same each time, mixed in their order, at `gain`
    // decibels or else at the gain that puts the peak at -1 dBFS, and
    // commits the file. Returns the exit status; a failure has been said in
    // a line.
    int Write(const std::function<Voices()>& makeVoices, int64 frames, std::optional<double> gain);

    // Says "<program>: <what>" on stderr, as ReportLine() would, unless a
    // stop comes first.
    void Say(const std::string& what) const;

private:
    class Progress;

    // Plays `voices` through, mixed and turned by `factor`, measures them
    // into `level`, and writes them to the file when `write`.
    Result<> Play(Voices voices, int64 frames, float factor, bool write, SoundLevel* level,
        Progress& progress);
    // Writes the take at `gain` and measures it as a player will hear it.
    Result<SoundLevel> Encode(const std::function<Voices()>& makeVoices, int64 frames, double gain,
        Progress& progress);
    // Encode(), again and again at gains set by the decoded peak, which
    // moves in encoding, the more so the sharper the sound, and not in step
    // with the gain; sets `gain` to the one used.
    Result<SoundLevel> EncodeNearTarget(const std::function<Voices()>& makeVoices, int64 frames,
        double* gain, Progress& progress);
    void SayLevel(const SoundLevel& level, double gain, bool fixed) const;

    RenderFile& fFile;
    const StopSignals& fStops;
};
