#pragma once

// The sound output behind BSoundPlayer: one stream to the system's sound
// server. A backend pulls buffers on a thread of its own and hands each to a
// render function; it never changes the format it was opened with.
//
// Each backend costs the sound server one client connection at most, so
// that many instances can play at once. A backend that loses its server
// after opening keeps trying to get its stream back and resumes on its own;
// the render function simply isn't called meanwhile.

#include "MediaFormat.h"
#include "Result.h"

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

// What opening an output gives: the output, or why there is none. A backend
// fails with B_ENTRY_NOT_FOUND when its server isn't there at all (nothing
// listening, library missing), so that the next backend may be tried; any
// other code means a server is there but refused the stream.
using OpenedOutput = Result<std::unique_ptr<AudioOutput>>;

// Opens a paused stream in exactly `format` (float, little-endian) named
// `streamName`, on the first sound server that is there: a native PipeWire
// server when one runs, then PulseAudio (or PipeWire's PulseAudio service),
// then whatever SDL finds. GW_SOUND_SERVER=pipewire, pulseaudio or sdl
// picks one backend and no other. A server that is there is not waited
// for: the stream starts when it answers, and a refusal then is reported by
// the backend (ReportOpenFailure) rather than returned.
OpenedOutput OpenAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context);

// Says on stderr that the sound output couldn't be opened, and why.
void ReportOpenFailure(const std::string& reason);

// The backends, tried in that order. Each takes a format OpenAudioOutput has
// already checked.
OpenedOutput OpenPipeWireOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context);
OpenedOutput OpenPulseAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context);
OpenedOutput OpenSdlAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context);
