#pragma once

// The sound output behind BSoundPlayer: one stream to the system's sound
// server. A backend pulls buffers on a thread of its own and hands each to a
// render function; it never changes the format it was opened with.

#include "platform/MediaFormat.h"

#include <memory>
#include <string>

class AudioOutput {
public:
    using RenderFunc = void (*)(void* context, void* buffer, size_t size);

    virtual ~AudioOutput() = default;

    // Starts or resumes pulling buffers.
    virtual void Resume() = 0;
    // Stops pulling buffers; returns once no render call is running and
    // none will start until the next Resume().
    virtual void Pause() = 0;
};

// Opens a paused stream in exactly `format` (float, little-endian) named
// `streamName`. On failure returns null and puts the reason in `error`.
std::unique_ptr<AudioOutput> OpenAudioOutput(const media_raw_audio_format& format,
    const char* streamName, AudioOutput::RenderFunc render, void* context,
    std::string& error);
