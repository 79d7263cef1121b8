#include "TakeOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// How many decimal digits `text` has from `at` (at most its size) on.
size_t DigitsAt(const std::string& text, size_t at)
{
    return std::min(text.find_first_not_of("0123456789", at), text.size()) - at;
}

} // namespace

Result<double> ParseNumber(const std::string& option, const std::string& text, double low,
    double high, bool whole)
{
    const std::string quoted = "'" + text + "'";
    auto wrong = [](const std::string& reason) { return Error { B_BAD_VALUE, reason }; };
    size_t sign = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
    size_t integer = DigitsAt(text, sign);
    bool point = text.size() > sign + integer && text[sign + integer] == '.';
    size_t fraction = point ? DigitsAt(text, sign + integer + 1) : 0;
    if (integer + fraction == 0 || sign + integer + point + fraction != text.size())
        return wrong(option + " needs a number, not " + quoted);
    if (text[0] == '-' && low >= 0)
        return wrong(option + " can't be negative: " + quoted);
    if (whole && (sign > 0 || point))
        return wrong(option + " needs a whole number, not " + quoted);
    double number = strtod(text.c_str(), nullptr);
    if (number < low || number > high) {
        char range[64];
        snprintf(range, sizeof range, "from %.15g to %.15g", low, high);
        return wrong(option + " must be " + range + ", not " + quoted);
    }
    return number;
}

Result<> TakeOptions::SetSeconds(const std::string& option, const std::string& text)
{
    Result<double> seconds = ParseNumber(option, text, 0, kMaxSeconds, false);
    if (!seconds)
        return seconds.error();
    frames = std::llround(*seconds * kSynthFrameRate);
    if (frames == 0)
        return Error { B_BAD_VALUE, option + " is too short to hold a single frame: '" + text + "'" };
    return {};
}

Result<> TakeOptions::SetGain(const std::string& option, const std::string& text)
{
    Result<double> decibels = ParseNumber(option, text, -kMaxGain, kMaxGain, false);
    if (!decibels)
        return decibels.error();
    gain = *decibels;
    return {};
}
