#include "sound/BufferProc.h"

#include "sound/AudioSubs.h"
#include "sound/ParameterBlock.h"

#include <atomic>
#include <cmath>
#include <cstdio>

namespace {

// Samples live on the 16-bit scale inside the engine.
constexpr double kFullScale = 32767.0;
constexpr double kWrap = 65536.0;
constexpr double kFrameRate = 44100.0;
// The oscillator's period, in radians. Deliberately 6.28 and not 2 pi: each
// cycle ends with a tiny step back to sin(0), which is part of the sound.
constexpr double kPhasePeriod = 6.28;

void PrintFormat(const media_raw_audio_format& format)
{
    printf("format.frame_rate = %f\n", static_cast<double>(format.frame_rate));
    printf("format.channel_count = %ld\n", static_cast<long>(format.channel_count));
    printf("format.format %ld\n", static_cast<long>(format.format));
    printf("format.byte_order = %ld\n", static_cast<long>(format.byte_order));
    printf("format.buffer_size = %ld\n", static_cast<long>(format.buffer_size));
    fflush(stdout);
}

void AdvanceWritePos(int32& writePos)
{
    writePos = writePos + 1;
    // Writers keep delayLength far below the line's capacity; the second test
    // only keeps a stray value from ever indexing past the line.
    if (writePos >= globalWubbix.delayLength || writePos >= DELAY_CAPACITY)
        writePos = 0;
}

void RenderSine(AudioSubs& engine, float* out, size_t frames)
{
    float* delayLine = engine.delayLine;
    int32 writePos = engine.writePos;
    float phase = engine.phase;

    for (size_t i = 0; i < frames; i++) {
        float feedback = globalWubbix.feedback;
        float leftGain = globalWubbix.leftGain;
        float rightGain = globalWubbix.rightGain;
        float frequency = globalWubbix.frequency;

        float s = static_cast<float>(std::sin(static_cast<double>(phase)) * kFullScale);
        // The sum is tested and wrapped at full precision and only then
        // rounded, so a sum of exactly 32767 or -32768 stays as it is.
        double sum = static_cast<double>(s)
            + static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback);
        if (sum > 32767.0)
            sum -= kWrap;
        else if (sum < -32768.0)
            sum += kWrap;
        float v = static_cast<float>(sum);

        out[2 * i] = static_cast<float>(static_cast<double>(v) * leftGain / kFullScale);
        out[2 * i + 1] = static_cast<float>(static_cast<double>(v) * rightGain / kFullScale);
        delayLine[writePos] = v;
        AdvanceWritePos(writePos);

        phase = static_cast<float>(
            phase + kPhasePeriod / (kFrameRate / (static_cast<double>(frequency) + 0.1)));
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

void RenderRamp(AudioSubs& engine, float* out, size_t frames)
{
    float* delayLine = engine.delayLine;
    int32 writePos = engine.writePos;
    uint16 accumulator = engine.rampAccumulator;

    for (size_t i = 0; i < frames; i++) {
        float feedback = globalWubbix.feedback;
        float leftGain = globalWubbix.leftGain;
        float rightGain = globalWubbix.rightGain;
        float frequency = globalWubbix.frequency;

        accumulator = static_cast<uint16>(accumulator + RampIncrement(frequency));
        // The delay line holds 16-bit values and the feedback stays in 0 ... 1,
        // so the product always fits an int32.
        int32 fed = static_cast<int32>(
            static_cast<double>(delayLine[writePos]) * static_cast<double>(feedback));
        // The sum's low 16 bits, read as two's complement: the ramp and the
        // feedback sum both wrap around the 16-bit range.
        auto sample = static_cast<int16>(static_cast<uint16>(accumulator + static_cast<uint32>(fed)));

        out[2 * i] = static_cast<float>(leftGain * static_cast<double>(sample) / kFullScale);
        out[2 * i + 1] = static_cast<float>(rightGain * static_cast<double>(sample) / kFullScale);
        delayLine[writePos] = sample;
        AdvanceWritePos(writePos);
    }

    engine.writePos = writePos;
    engine.rampAccumulator = accumulator;
}

} // namespace

void BufferProc(void* cookie, void* buffer, size_t size, const media_raw_audio_format& format)
{
    static std::atomic<bool> first_time { true };
    if (first_time.exchange(false, std::memory_order_relaxed))
        PrintFormat(format);

    auto* engine = static_cast<AudioSubs*>(cookie);
    auto* out = static_cast<float*>(buffer);
    size_t frames = size / 8;

    switch (globalWubbix.waveform) {
    case WAVE_SINE:
        RenderSine(*engine, out, frames);
        break;
    case WAVE_RAMP:
        RenderRamp(*engine, out, frames);
        break;
    default:
        break;
    }
}
