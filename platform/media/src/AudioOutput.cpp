#include "AudioOutput.h"

#include "Report.h"

#include <cstdlib>
#include <cstring>

namespace {

bool FormatSupported(const media_raw_audio_format& format, std::string& error)
{
    if (format.format != B_AUDIO_FLOAT || format.byte_order != B_MEDIA_LITTLE_ENDIAN) {
        error = "only 32-bit little-endian float output is supported";
        return false;
    }
    size_t frameSize = format.channel_count * sizeof(float);
    if (format.channel_count == 0 || format.channel_count > 8 || format.buffer_size == 0
        || format.buffer_size % frameSize != 0 || format.buffer_size / frameSize > 32768
        || !(format.frame_rate >= 8000.0f && format.frame_rate <= 192000.0f)) {
        error = "unsupported frame rate, channel count or buffer size";
        return false;
    }
    return true;
}

} // namespace

void ReportOpenFailure(const std::string& reason)
{
    ReportFailure("open sound output", reason);
}

std::unique_ptr<AudioOutput> OpenAudioOutput(const media_raw_audio_format& format,
    const char* streamName, AudioOutput::RenderFunc render, void* context, std::string& error)
{
    if (!FormatSupported(format, error))
        return nullptr;

    const char* chosen = getenv("GW_SOUND_SERVER");
    if (chosen != nullptr && chosen[0] != '\0') {
        bool absent = false;
        if (strcmp(chosen, "pipewire") == 0)
            return OpenPipeWireOutput(format, streamName, render, context, error, absent);
        if (strcmp(chosen, "pulseaudio") == 0)
            return OpenPulseAudioOutput(format, streamName, render, context, error, absent);
        if (strcmp(chosen, "sdl") == 0)
            return OpenSdlAudioOutput(format, streamName, render, context, error);
        error = std::string("GW_SOUND_SERVER must be pipewire, pulseaudio or sdl, not \"")
            + chosen + "\"";
        return nullptr;
    }

    bool absent = false;
    auto output = OpenPipeWireOutput(format, streamName, render, context, error, absent);
    if (output != nullptr || !absent)
        return output;
    output = OpenPulseAudioOutput(format, streamName, render, context, error, absent);
    if (output != nullptr || !absent)
        return output;
    return OpenSdlAudioOutput(format, streamName, render, context, error);
}
