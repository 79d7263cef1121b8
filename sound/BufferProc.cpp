#include "BufferProc.h"

#include "AudioSubs.h"
#include "Synth.h"

#include <atomic>
#include <cstdio>

namespace {

void PrintFormat(const media_raw_audio_format& format)
{
    printf("format.frame_rate = %f\n", static_cast<double>(format.frame_rate));
    printf("format.channel_count = %ld\n", static_cast<long>(format.channel_count));
    printf("format.format %ld\n", static_cast<long>(format.format));
    printf("format.byte_order = %ld\n", static_cast<long>(format.byte_order));
    printf("format.buffer_size = %ld\n", static_cast<long>(format.buffer_size));
    fflush(stdout);
}

} // namespace

void BufferProc(void* cookie, void* buffer, size_t size, const media_raw_audio_format& format)
{
    static std::atomic<bool> first_time { true };
    if (first_time.exchange(false, std::memory_order_relaxed))
        PrintFormat(format);

    size_t frames = size / 8;
    if (frames == 0)
        return;
    auto* engine = static_cast<AudioSubs*>(cookie);
    engine->TakeCapture();
    Synthesize(*engine, *engine->parameters, static_cast<float*>(buffer), frames);
}
