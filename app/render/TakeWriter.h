#pragma once

// Writes a take: plays its voices on threads (see VoiceMixer), turns the
// mix by the gain and writes it to its file, which takes its name once
// whole. On a terminal a line on stderr shows how far the take has come;
// at the end, a line says how many samples were clipped, if any were. The
// lines start with the name of the tool that writes the take. Stop signals
// end the take between two chunks. The main thread only.

#include "OfflineVoice.h"
#include "SupportDefs.h"

#include <memory>
#include <string>
#include <vector>

class RenderFile;
class StopSignals;

class TakeWriter {
public:
    // Exit statuses of Write(); a stop gives 128 plus the signal's number.
    static constexpr int kWritten = 0;
    static constexpr int kFailed = 1;

    TakeWriter(const char* tool, RenderFile& file, const StopSignals& stops);

    // Writes `frames` frames of `voices`, mixed in their order, at `gain`
    // decibels, and commits the file. Returns the exit status; a failure
    // has been said in a line.
    int Write(std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, double gain);

    // "<tool>: <what>" with a line end, with what would steer a terminal
    // written as C escapes.
    std::string Line(const std::string& what) const;
    // Says Line(what) on stderr, unless a stop comes first.
    void Say(const std::string& what) const;

private:
    const char* fTool;
    RenderFile& fFile;
    const StopSignals& fStops;
};
