#pragma once

// What a session needs of its sound server, whichever it is: a private
// PulseAudio server (PulseServer) or a native PipeWire one (PipeWireServer).
// Each plays into one null sink of 32-bit float stereo, which a test can
// record.

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

class SoundServer {
public:
    virtual ~SoundServer() = default;

    // The variables ("NAME=value") that point an instance at the server.
    virtual std::vector<std::string> InstanceEnvironment() const = 0;
    // The process behind each stream that plays into the sink, once per
    // stream; throws if the server can't be asked.
    virtual std::multiset<pid_t> StreamOwners() const = 0;
    // Records the sink into `path` from now on and says whether it sounds
    // within `timeout`.
    virtual bool SoundsWithin(const std::string& path, std::chrono::milliseconds timeout) const = 0;
    // Whatever the server has printed since it last started.
    virtual std::string Log() const = 0;
};

// The first frame at or after `from` of interleaved stereo `samples` with a
// sample louder than `silence`; npos when there is none.
inline size_t FirstSoundingFrame(const std::vector<float>& samples, size_t from = 0,
    float silence = 0.0f)
{
    for (size_t i = 2 * from; i < samples.size(); i++) {
        if (std::fabs(samples[i]) > silence)
            return i / 2;
    }
    return std::string::npos;
}

// The longest run of silent frames (every sample exactly zero) between the
// first and the last sounding frame of `samples`: a gap in the sound.
inline size_t LongestSilenceInside(const std::vector<float>& samples)
{
    size_t longest = 0;
    size_t run = 0;
    for (size_t frame = FirstSoundingFrame(samples); frame < samples.size() / 2; frame++) {
        if (samples[2 * frame] == 0.0f && samples[2 * frame + 1] == 0.0f) {
            run++;
            continue;
        }
        longest = std::max(longest, run);
        run = 0;
    }
    return longest;
}
