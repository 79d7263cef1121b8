#include "Synth.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Samples live on the 16-bit scale inside the engine.
constexpr double kFullScale = 32767.0;
constexpr double kWrap = 65536.0;
// The oscillator's period, in radians. Deliberately 6.28 and not 2 pi: each
// cycle ends with a tiny step back to sin(0), which is part of the sound.
constexpr double kPhasePeriod = 6.28;

void AdvanceWritePos(int32& writePos, int32 delayLength)
{
    writePos = writePos + 1;
    // Writers keep delayLength far below the line's capacity; the second test
    // only keeps a stray value from ever indexing past the line.
    if (writePos >= delayLength || writePos >= DELAY_CAPACITY)
        writePos = 0;
}

// Both channels of a frame, sample x gain / 32767 each, rounded to float.
// One vector instruction per step does the two channels' double-precision
// products and quotients, with exactly the scalar results.
using DoublePair = double __attribute__((vector_size(16)));
using FloatPair = float __attribute__((vector_size(8)));

void WriteFrame(float* out, double sample, float leftGain, float rightGain)
{
    DoublePair gains = { leftGain, rightGain };
    DoublePair channels = sample * gains / kFullScale;
    FloatPair rounded = __builtin_convertvector(channels, FloatPair);
    memcpy(out, &rounded, sizeof rounded);
}

// The phase advance for `frequency`, kept until the frequency changes: the
// frequency is still read every frame, the two divisions are not repeated.
class PhaseStep {
public:
    double For(float frequency)
    {
        if (!(frequency == fFrequency)) {
            fFrequency = frequency;
            fStep = kPhasePeriod / (kSynthFrameRate / (static_cast<double>(frequency) + 0.1));
        }
        return fStep;
    }

private:
    float fFrequency = NAN;
    double fStep = 0.0;
};

void RenderSine(SynthState& engine, const ParameterBlock& p, float* out, size_t frames)
{
    float* delayLine = engine.delayLine;
    int32 writePos = engine.writePos;
    float phase = engine.phase;
    PhaseStep step;

    for (size_t i = 0; i < frames; i++) {
        float s = static_cast<float>(std::sin(static_cast<double>(phase)) * kFullScale);

        // Read after the sine call, which would otherwise force them out of
        // registers and back.
        float feedback = p.feedback;
        float leftGain = p.leftGain;
        float rightGain = p.rightGain;
        float frequency = p.frequency;

        // The sum is tested and wrapped at full precision and only then
        // rounded, so a sum of exactly 32767 or -32768 stays as it is.
        double sum = static_cast<double>(s)
            + static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback);
        if (sum > 32767.0)
            sum -= kWrap;
        else if (sum < -32768.0)
            sum += kWrap;
        float v = static_cast<float>(sum);

        WriteFrame(out + 2 * i, v, leftGain, rightGain);
        delayLine[writePos] = v;
        AdvanceWritePos(writePos, p.delayLength);

        phase = static_cast<float>(phase + step.For(frequency));
        if (phase > kPhasePeriod)
            phase = static_cast<float>(phase - kPhasePeriod);
    }

    engine.writePos = writePos;
    engine.phase = phase;
}

// trunc(frequency) modulo 2^16, which is all the 16-bit accumulator keeps.
// Exact for every finite value; infinities and NaN count as 0.
uint16 RampIncrement(float frequency)
{
    if (frequency > -2147483648.0f && frequency < 2147483648.0f)
        return static_cast<uint16>(static_cast<int32>(frequency));
    if (!std::isfinite(frequency))
        return 0;
    double wrapped = std::fmod(std::trunc(static_cast<double>(frequency)), kWrap);
    return static_cast<uint16>(static_cast<int32>(wrapped));
}

void RenderRamp(SynthState& engine, const ParameterBlock& p, float* out, size_t frames)
{
    float* delayLine = engine.delayLine;
    int32 writePos = engine.writePos;
    uint16 accumulator = engine.rampAccumulator;
    float lastFrequency = NAN;
    uint16 increment = 0;

    for (size_t i = 0; i < frames; i++) {
        float feedback = p.feedback;
        float leftGain = p.leftGain;
        float rightGain = p.rightGain;
        float frequency = p.frequency;

        if (!(frequency == lastFrequency)) {
            lastFrequency = frequency;
            increment = RampIncrement(frequency);
        }
        accumulator = static_cast<uint16>(accumulator + increment);
        // The delay line holds 16-bit values and the feedback stays in 0 ... 1,
        // so the product always fits an int32.
        int32 fed = static_cast<int32>(
            static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback));
        // The sum's low 16 bits, read as two's complement: the ramp and the
        // feedback sum both wrap around the 16-bit range.
        auto sample = static_cast<int16>(static_cast<uint16>(accumulator + static_cast<uint32>(fed)));

        WriteFrame(out + 2 * i, sample, leftGain, rightGain);
        delayLine[writePos] = sample;
        AdvanceWritePos(writePos, p.delayLength);
    }

    engine.writePos = writePos;
    engine.rampAccumulator = accumulator;
}

} // namespace

void Synthesize(SynthState& state, const ParameterBlock& parameters, float* out, size_t frames)
{
    switch (parameters.waveform) {
    case WAVE_SINE:
        RenderSine(state, parameters, out, frames);
        break;
    case WAVE_RAMP:
        RenderRamp(state, parameters, out, frames);
        break;
    default:
        break;
    }
}

float* NewDelayLine()
{
    // Cleared, so the first trip round the delay line feeds back silence.
    auto* line = static_cast<float*>(calloc(DELAY_CAPACITY, sizeof(float)));
    if (line == nullptr)
        throw std::bad_alloc();
    return line;
}

void CentreVoice(ParameterBlock& parameters)
{
    parameters.pan = 0.5f;
    parameters.rightGain = static_cast<float>(std::sqrt(0.5));
    parameters.leftGain = static_cast<float>(std::sqrt(1.0 - parameters.pan));
}
