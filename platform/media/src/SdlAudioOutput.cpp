// AudioOutput on SDL2's audio subsystem, which talks to the system's sound
// server (PulseAudio, PipeWire or ALSA, whichever SDL finds first).

#include "AudioOutput.h"
#include "InstanceLabel.h"
#include "SdlLock.h"

#include <SDL.h>

#include <dlfcn.h>

#include <mutex>

namespace {

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...)
{
}

// When SDL falls back to ALSA and there is no sound card, libasound prints
// half a dozen lines of its own to stderr before SDL gives up. The player
// reports the failure itself, in one line, so ALSA's reports are switched
// off. SDL links libasound, so this costs no extra library.
void SilenceAlsaErrors()
{
    static const bool silenced = [] {
        void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (alsa == nullptr)
            return false;
        using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
        auto setHandler = reinterpret_cast<int (*)(Handler)>(
            dlsym(alsa, "snd_lib_error_set_handler"));
        return setHandler != nullptr && setHandler(IgnoreAlsaError) == 0;
    }();
    (void)silenced;
}

class SdlAudioOutput final : public AudioOutput {
public:
    SdlAudioOutput(RenderFunc render, void* context)
        : fRender(render), fContext(context)
    {
    }

    ~SdlAudioOutput() override
    {
        if (fDevice != 0) {
            // Closing joins SDL's audio thread.
            SDL_CloseAudioDevice(fDevice);
            std::lock_guard<std::mutex> guard(SdlLock());
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        }
    }

    Result<> Open(const media_raw_audio_format& format, const char* streamName);

    void Resume() override { SDL_PauseAudioDevice(fDevice, 0); }

    // SDL sets the pause flag under the device lock, and its thread reads the
    // flag under the same lock before each callback, so once this returns no
    // callback is running and none will start.
    void Pause() override { SDL_PauseAudioDevice(fDevice, 1); }

private:
    static void Callback(void* userdata, Uint8* stream, int length)
    {
        auto* self = static_cast<SdlAudioOutput*>(userdata);
        self->fRender(self->fContext, stream, static_cast<size_t>(length));
    }

    RenderFunc fRender;
    void* fContext;
    SDL_AudioDeviceID fDevice = 0;
};

Result<> SdlAudioOutput::Open(const media_raw_audio_format& format, const char* streamName)
{
    // SDL's hints and subsystem counts are not thread-safe: a window thread
    // may be starting video at the same time.
    std::lock_guard<std::mutex> guard(SdlLock());
    // The platform, not SDL, decides what signals do to the process.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    std::string label = InstanceLabel::Get();
    SDL_SetHint(SDL_HINT_APP_NAME, label.c_str());
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, label.c_str());
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, streamName);
    SilenceAlsaErrors();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return Error { B_ERROR, SDL_GetError() };

    SDL_AudioSpec wanted {};
    wanted.freq = static_cast<int>(format.frame_rate);
    wanted.format = AUDIO_F32LSB;
    wanted.channels = static_cast<Uint8>(format.channel_count);
    wanted.samples = static_cast<Uint16>(format.buffer_size / (format.channel_count * sizeof(float)));
    wanted.callback = Callback;
    wanted.userdata = this;

    // Allowing no changes makes SDL convert behind the scenes whenever the
    // device differs, so the render function always gets the format asked for.
    SDL_AudioSpec obtained {};
    fDevice = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (fDevice == 0) {
        Error error { B_ERROR, SDL_GetError() };
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return error;
    }
    return {};
}

} // namespace

OpenedOutput OpenSdlAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context)
{
    auto output = std::make_unique<SdlAudioOutput>(render, context);
    if (Result<> opened = output->Open(format, streamName); !opened)
        return opened.error();
    return std::unique_ptr<AudioOutput>(std::move(output));
}
