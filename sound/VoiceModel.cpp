#include "VoiceModel.h"

#include <cmath>

namespace {

float Clamp01(float value)
{
    if (value < 0.0f)
        return 0.0f;
    if (value > 1.0f)
        return 1.0f;
    return value;
}

} // namespace

void VoiceModel::Roll(bool mains, bool delta)
{
    // Each value is computed in double and stored as a float, so the top
    // draws reach 1.0 and 1270 exactly.
    ParameterBlock& p = fParameters;
    fPending = {};
    if (delta)
        p.restlessness = static_cast<float>(fRandom.Uniform01());
    if (mains) {
        p.delayLength = static_cast<int32>(fRandom.Uniform01() * 22049.0);
        p.frequency = static_cast<float>(fRandom.Uniform01() * 1270.0);
        p.feedback = static_cast<float>(fRandom.Uniform01());
    }
    p.delayDriftScale = static_cast<float>(fRandom.Uniform01());
    p.delayDriftChance = static_cast<float>(fRandom.Uniform01());
    p.frequencyDriftScale = static_cast<float>(fRandom.Uniform01());
    p.frequencyDriftChance = static_cast<float>(fRandom.Uniform01());
    p.feedbackDriftScale = static_cast<float>(fRandom.Uniform01());
    p.feedbackDriftChance = static_cast<float>(fRandom.Uniform01());
}

void VoiceModel::RollCharacter()
{
    fParameters.waveform = fRandom.Uniform01() > 0.5 ? WAVE_SINE : WAVE_RAMP;
    fParameters.restlessnessStep = static_cast<float>(fRandom.Next() / 858993459200.0);
}

VoiceModel::Reroll VoiceModel::Pulse(const std::function<void()>& pitchStepped)
{
    ParameterBlock& p = fParameters;
    // A draw * 2^-33 - 0.125: uniform over [-0.125, 0.125).
    auto quarterStep = [this] { return static_cast<double>(fRandom.Next()) * 0x1p-33 - 0.125; };

    if (fRandom.Uniform01() > 0.5) {
        float step = static_cast<float>(quarterStep());
        float pan = Clamp01(p.pan + step);
        p.pan = pan;
        p.rightGain = static_cast<float>(std::sqrt(static_cast<double>(pan)));
        p.leftGain = static_cast<float>(std::sqrt(static_cast<double>(1.0f - pan)));
    }

    if (fRandom.Uniform01() < p.frequencyDriftChance) {
        float step = static_cast<float>(static_cast<double>(fRandom.Next()) / 21474836.48 - 50.0);
        float frequency = step * p.frequencyDriftScale + p.frequency;
        p.frequency = frequency < 0.0f ? 0.0f : frequency;
        pitchStepped();
    }

    if (fRandom.Uniform01() < p.feedbackDriftChance) {
        double feedback = quarterStep() * p.feedbackDriftScale + p.feedback;
        p.feedback = static_cast<float>(feedback < 0.0 ? 0.0 : feedback > 1.0 ? 1.0
                                                                              : feedback);
    }

    if (fRandom.Uniform01() < p.delayDriftChance) {
        float step = static_cast<float>(static_cast<double>(fRandom.Next()) / 214748.3648 - 5000.0);
        float length = step * p.delayDriftScale + static_cast<float>(p.delayLength);
        // The step is at most 5000 frames, so the truncation stays in range.
        int32 delayLength = static_cast<int32>(length);
        if (delayLength > MAX_DELAY_LENGTH)
            delayLength = MAX_DELAY_LENGTH;
        if (delayLength < 0)
            delayLength = 0;
        p.delayLength = delayLength;
    }

    Reroll reroll;
    float restlessness = p.restlessness;
    if (restlessness * restlessness > fRandom.Uniform01()) {
        reroll.asked = true;
        reroll.mains = fRandom.Uniform01() > 0.5;
        fPending = reroll;
    }

    restlessness = p.restlessness + p.restlessnessStep * static_cast<float>(fDirection);
    p.restlessness = restlessness;
    if (restlessness < 0.0f || restlessness > 1.0f)
        fDirection = -fDirection;
    return reroll;
}

VoiceModel::State VoiceModel::Save() const
{
    const ParameterBlock& p = fParameters;
    State state;
    state.parameters = { p.delayLength, p.waveform, p.frequency, p.feedback,
        p.feedbackDriftScale, p.feedbackDriftChance, p.frequencyDriftScale, p.delayDriftScale,
        p.frequencyDriftChance, p.delayDriftChance, p.restlessness, p.pan, p.leftGain,
        p.rightGain, p.restlessnessStep };
    state.direction = fDirection;
    state.random = fRandom.Save();
    state.pending = fPending;
    return state;
}

bool VoiceModel::Restore(const State& state)
{
    const Parameters& v = state.parameters;
    if ((state.direction != 1 && state.direction != -1)
        || (v.waveform != WAVE_SINE && v.waveform != WAVE_RAMP) || v.delayLength < 0
        || v.delayLength > MAX_DELAY_LENGTH || (state.pending.mains && !state.pending.asked)
        || !fRandom.Restore(state.random))
        return false;
    ParameterBlock& p = fParameters;
    p.delayLength = v.delayLength;
    p.waveform = v.waveform;
    p.frequency = v.frequency;
    p.feedback = v.feedback;
    p.feedbackDriftScale = v.feedbackDriftScale;
    p.feedbackDriftChance = v.feedbackDriftChance;
    p.frequencyDriftScale = v.frequencyDriftScale;
    p.delayDriftScale = v.delayDriftScale;
    p.frequencyDriftChance = v.frequencyDriftChance;
    p.delayDriftChance = v.delayDriftChance;
    p.restlessness = v.restlessness;
    p.pan = v.pan;
    p.leftGain = v.leftGain;
    p.rightGain = v.rightGain;
    p.restlessnessStep = v.restlessnessStep;
    fDirection = state.direction;
    fPending = state.pending;
    return true;
}
