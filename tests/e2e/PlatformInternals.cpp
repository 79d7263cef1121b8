#include "PlatformInternals.h"

#include "platform/AudioOutput.h"
#include "platform/RosterServer.h"
#include "platform/X11Errors.h"

#include <cstdlib>

status_t SendMessage(const std::string& signature, pid_t pid, Receiver receiver,
    const BMessage& message)
{
    return RosterServer::Send(signature.c_str(), pid, static_cast<MessageTarget>(receiver),
        message);
}

std::shared_ptr<void> RegisterAs(const char* signature, const BMessage& info, std::string& reason)
{
    status_t error = B_OK;
    std::shared_ptr<RosterServer> entry = RosterServer::Start(
        signature, [](MessageTarget, const BMessage&) {}, &error, &reason);
    if (entry != nullptr && entry->PublishInfo(info) != B_OK) {
        reason = "couldn't publish the description";
        entry.reset();
    }
    return entry;
}

const int kLostDisplayExitStatus = X11Errors::kLostDisplayExitStatus;

std::unique_ptr<PipeWireOutput> PipeWireOutput::Open(const std::string& directory,
    const media_raw_audio_format& format, const char* name, RenderFunc render, void* context,
    std::string& error, bool& absent)
{
    setenv("PIPEWIRE_RUNTIME_DIR", directory.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    std::unique_ptr<AudioOutput> output
        = OpenPipeWireOutput(format, name, render, context, error, absent);
    if (output == nullptr)
        return nullptr;
    return std::make_unique<PipeWireOutput>(std::move(output));
}

PipeWireOutput::PipeWireOutput(std::unique_ptr<AudioOutput> output)
    : fOutput(std::move(output))
{
}

PipeWireOutput::~PipeWireOutput() = default;

void PipeWireOutput::Resume()
{
    fOutput->Resume();
}

void PipeWireOutput::Pause()
{
    fOutput->Pause();
}
