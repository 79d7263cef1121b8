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

std::optional<std::string> ParseNumber(const std::string& option, const std::string& text,
    double low, double high, bool whole, double* value)
{
    const std::string quoted = "'" + text + "'";
    size_t sign = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
    size_t integer = DigitsAt(text, sign);
    bool point = text.size() > sign + integer && text[sign + integer] == '.';
    size_t fraction = point ? DigitsAt(text, sign + integer + 1) : 0;
    if (integer + fraction == 0 || sign + integer + point + fraction != text.size())
        return option + " needs a number, not " + quoted;
    if (text[0] == '-' && low >= 0)
        return option + " can't be negative: " + quoted;
    if (whole && (sign > 0 || point))
        return option + " needs a whole number, not " + quoted;
    double number = strtod(text.c_str(), nullptr);
    if (number < low || number > high) {
        char range[64];
        snprintf(range, sizeof range, "from %.15g to %.15g", low, high);
        return option + " must be " + range + ", not " + quoted;
    }
    *value = number;
    return std::nullopt;
}

std::optional<std::string> TakeOptions::SetSeconds(const std::string& option, const std::string& text)
{
    double seconds = 0;
    if (std::optional<std::string> wrong = ParseNumber(option, text, 0, kMaxSeconds, false, &seconds))
        return wrong;
    frames = std::llround(seconds * kSynthFrameRate);
    if (frames == 0)
        return option + " is too short to hold a single frame: '" + text + "'";
    return std::nullopt;
}

std::optional<std::string> TakeOptions::SetGain(const std::string& option, const std::string& text)
{
    double decibels = 0;
    std::optional<std::string> wrong = ParseNumber(option, text, -kMaxGain, kMaxGain, false, &decibels);
    if (!wrong)
        gain = decibels;
    return wrong;
}
