#include "SoundPlayer.h"

#include "AudioOutput.h"
#include "Report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

media_raw_audio_format ResolveFormat(const media_raw_audio_format* requested)
{
    media_raw_audio_format format = requested != nullptr ? *requested
                                                         : media_raw_audio_format::wildcard;
    if (format.frame_rate == 0.0f)
        format.frame_rate = 44100.0f;
    if (format.channel_count == 0)
        format.channel_count = 2;
    if (format.format == 0)
        format.format = B_AUDIO_FLOAT;
    if (format.byte_order == 0)
        format.byte_order = B_MEDIA_LITTLE_ENDIAN;
    if (format.buffer_size == 0)
        format.buffer_size = 1024 * format.channel_count * sizeof(float);
    return format;
}

} // namespace

BSoundPlayer::BSoundPlayer(const media_raw_audio_format* format, const char* name,
    BufferPlayerFunc playBuffer, EventNotifierFunc, void* cookie)
    : fFormat(ResolveFormat(format)), fPlayBuffer(playBuffer), fCookie(cookie)
{
    const char* trace = getenv("GW_TRACE_START");
    fTraceFirstBuffer = trace != nullptr && trace[0] != '\0' && strcmp(trace, "0") != 0;

    OpenedOutput output = fPlayBuffer != nullptr
        ? OpenAudioOutput(fFormat, name != nullptr ? name : "", Render, this)
        : Error { B_BAD_VALUE, "no fill function" };
    if (output) {
        fOutput = std::move(*output);
        fInitStatus = B_OK;
    } else {
        fInitStatus = B_ERROR;
        ReportOpenFailure(output.reason());
    }
}

BSoundPlayer::~BSoundPlayer()
{
    Stop();
    // Destroying the output joins its thread.
    fOutput.reset();
}

status_t BSoundPlayer::InitCheck() const
{
    return fInitStatus;
}

media_raw_audio_format BSoundPlayer::Format() const
{
    return fFormat;
}

status_t BSoundPlayer::Start()
{
    if (fOutput == nullptr)
        return fInitStatus;
    if (!fRunning) {
        fOutput->Resume();
        fRunning = true;
    }
    return B_OK;
}

void BSoundPlayer::Stop(bool, bool)
{
    if (fOutput != nullptr && fRunning) {
        fOutput->Pause();
        fRunning = false;
    }
}

void BSoundPlayer::SetHasData(bool hasData)
{
    fHasData.store(hasData, std::memory_order_release);
}

bool BSoundPlayer::HasData() const
{
    return fHasData.load(std::memory_order_acquire);
}

void BSoundPlayer::Render(void* context, void* buffer, size_t size)
{
    auto* player = static_cast<BSoundPlayer*>(context);
    if (player->fHasData.load(std::memory_order_acquire)) {
        if (player->fTraceFirstBuffer)
            player->TraceFirstBuffer();
        player->fPlayBuffer(player->fCookie, buffer, size, player->fFormat);
    } else {
        memset(buffer, 0, size);
    }
}

void BSoundPlayer::TraceFirstBuffer()
{
    fTraceFirstBuffer = false;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Made on the stack: this runs on the player's thread, where nothing
    // may allocate.
    char text[48];
    snprintf(text, sizeof text, "trace: first-buffer %lld",
        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    ReportPlainLine(text);
}
