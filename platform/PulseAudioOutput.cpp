#include "platform/AudioOutput.h"

std::unique_ptr<AudioOutput> OpenPulseAudioOutput(const media_raw_audio_format&, const char*,
    AudioOutput::RenderFunc, void*, std::string& error, bool& absent)
{
    error = "no PulseAudio support";
    absent = true;
    return nullptr;
}
