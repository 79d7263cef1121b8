#pragma once

// The length and gain of a take, as the renderer and the control tool read
// them from the command line, and the plain decimal numbers both take.
// Plain values and functions, safe from any thread.

#include "Result.h"
#include "SupportDefs.h"
#include "Synth.h"

#include <optional>
#include <string>

struct TakeOptions {
    static constexpr double kMaxSeconds = 24 * 60 * 60;
    static constexpr double kMaxGain = 100;

    int64 frames = 60 * static_cast<int64>(kSynthFrameRate);
    // A fixed gain in decibels; without one, the take is set so that its
    // peak lands at -1 dBFS.
    std::optional<double> gain;

    // Takes `text`, the value of the option `option`, as the take's length
    // in seconds; B_BAD_VALUE, with the reason, when it isn't one.
    Result<> SetSeconds(const std::string& option, const std::string& text);
    // Takes `text` as the gain in decibels, likewise.
    Result<> SetGain(const std::string& option, const std::string& text);
};

// `text`, the value of `option`, as a number within [low, high]; B_BAD_VALUE,
// with the reason, when it isn't one. Only plain decimal notation is a
// number: an optional sign, digits and, unless `whole`, a fraction; a whole
// number is digits alone.
Result<double> ParseNumber(const std::string& option, const std::string& text, double low,
    double high, bool whole);
