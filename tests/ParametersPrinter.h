#pragma once

// Prints a voice's parameters field by field when a check of them fails.

#include "VoiceModel.h"

#include <ostream>

inline void PrintTo(const VoiceModel::Parameters& v, std::ostream* out)
{
    out->precision(9);
    *out << "{delay " << v.delayLength << ", wave " << v.waveform << ", frequency " << v.frequency
         << ", feedback " << v.feedback << ", feedback drift " << v.feedbackDriftScale << "/"
         << v.feedbackDriftChance << ", frequency drift " << v.frequencyDriftScale << "/"
         << v.frequencyDriftChance << ", delay drift " << v.delayDriftScale << "/"
         << v.delayDriftChance << ", restlessness " << v.restlessness << " step "
         << v.restlessnessStep << ", pan " << v.pan << " " << v.leftGain << "/" << v.rightGain << "}";
}
