#include "AudioOutput.h"

#include "Report.h"

#include <cstdlib>
#include <cstring>

namespace {

Result<> CheckFormat(const media_raw_audio_format& format)
{
    if (format.format != B_AUDIO_FLOAT || format.byte_order != B_MEDIA_LITTLE_ENDIAN)
        return Error { B_BAD_VALUE, "only 32-bit little-endian float output is supported" };
    size_t frameSize = format.channel_count * sizeof(float);
    if (format.channel_count == 0 || format.channel_count > 8 || format.buffer_size == 0
        || format.buffer_size % frameSize != 0 || format.buffer_size / frameSize > 32768
        || !(format.frame_rate >= 8000.0f && format.frame_rate <= 192000.0f))
        return Error { B_BAD_VALUE, "unsupported frame rate, channel count or buffer size" };
    return {};
}

} // namespace

void ReportOpenFailure(const std::string& reason)
{
    ReportFailure("open sound output", reason);
}

OpenedOutput OpenAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context)
{
    if (Result<> checked = CheckFormat(format); !checked)
        return checked.error();

    const char* chosen = getenv("GW_SOUND_SERVER");
    if (chosen != nullptr && chosen[0] != '\0') {
        if (strcmp(chosen, "pipewire") == 0)
            return OpenPipeWireOutput(format, streamName, render, context);
        if (strcmp(chosen, "pulseaudio") == 0)
            return OpenPulseAudioOutput(format, streamName, render, context);
        if (strcmp(chosen, "sdl") == 0)
            return OpenSdlAudioOutput(format, streamName, render, context);
        return Error { B_BAD_VALUE,
            std::string("GW_SOUND_SERVER must be pipewire, pulseaudio or sdl, not \"") + chosen
                + "\"" };
    }

    for (auto open : { OpenPipeWireOutput, OpenPulseAudioOutput }) {
        OpenedOutput output = open(format, streamName, render, context);
        if (output || output.code() != B_ENTRY_NOT_FOUND)
            return output;
    }
    return OpenSdlAudioOutput(format, streamName, render, context);
}
