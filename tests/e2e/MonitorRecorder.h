#pragma once

// Records a PulseServer's sink monitor with parec, as raw interleaved 32-bit
// float stereo at 44100 Hz, into a file. The sink plays silence when nothing
// else plays, so the recording runs continuously from the moment the
// constructor returns until Stop(). It may record one stream of the sink
// instead, which then runs as continuously: where the stream runs dry, the
// recording gets the silence the sink plays for it.

#include "ChildProcess.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class PulseServer;

class MonitorRecorder {
public:
    // Starts recording into `path`, the stream of index `stream` alone if
    // given, and waits up to `startTimeout` until the first samples arrive;
    // throws, with parec's output, if none do.
    MonitorRecorder(const PulseServer& server, const std::string& path,
        std::optional<uint32_t> stream = std::nullopt,
        std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
    ~MonitorRecorder();

    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Whole frames written so far.
    size_t Frames() const;
    // Waits up to `timeout` until the recording holds `frames` frames.
    bool WaitForFrames(size_t frames, std::chrono::milliseconds timeout) const;
    // Ends the recording. Safe to call again.
    void Stop();
    // The recording's whole frames as interleaved left/right samples.
    std::vector<float> Samples() const;

private:
    std::string fPath;
    std::string fLogPath;
    ChildProcess fParec;
};
