#pragma once

// A take as the renderer or the control tool writes it, read back whole
// with libsndfile.

#include <cstdint>
#include <string>
#include <vector>

struct TakeFile {
    int64_t frames = 0; // 0 when the file can't be read
    int channels = 0;
    bool floatSamples = false;  // 32-bit floating point
    std::vector<float> samples; // interleaved

    static TakeFile Read(const std::string& path);
    // The largest magnitude of its samples.
    float Peak() const;
};
