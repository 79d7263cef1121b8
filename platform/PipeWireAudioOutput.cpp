#include "platform/AudioOutput.h"

std::unique_ptr<AudioOutput> OpenPipeWireOutput(const media_raw_audio_format&, const char*,
    AudioOutput::RenderFunc, void*, std::string& error, bool& absent)
{
    error = "no PipeWire support";
    absent = true;
    return nullptr;
}
