#pragma once

// Records a PulseServer's sink monitor with parec, as raw interleaved 32-bit
// float stereo at 44100 Hz, into a file. The sink plays silence when nothing
// else plays, so the recording runs continuously from the moment the
// constructor returns until Stop().

#include "ChildProcess.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

class PulseServer;

class MonitorRecorder {
public:
    // Starts recording into `path` and waits up to `startTimeout` until the
    // first samples arrive; throws, with parec's output, if none do.
    MonitorRecorder(const PulseServer& server, const std::string& path,
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
