// AudioOutput on libpulse: one context (one client of the server) and one
// playback stream, driven by a threaded mainloop. Everything below except
// Open(), Resume(), Pause() and the destructor runs on the mainloop's thread
// with its lock held; those four take the same lock, so a render call and
// the stream's state never change under them.
//
// Opening waits only until the server is known to be there (the connection
// is made) or not; the server's answer, and the stream, come in the
// background, so a server that is slow to answer, or stopped, holds nobody
// up. A refusal that comes after opening has returned is said on stderr.
//
// When the server goes away after the stream was opened (killed, restarted,
// or the stream itself killed), the output says so once on stderr and tries
// again every 250 ms until its stream is back, corked or playing as before.

#include "AudioOutput.h"
#include "InstanceLabel.h"
#include "Report.h"

#include <pulse/pulseaudio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr pa_usec_t kOpenTimeout = 5 * PA_USEC_PER_SEC;
constexpr pa_usec_t kRetryDelay = 250 * PA_USEC_PER_MSEC;
// A server's listening socket has a short queue: when many instances start
// at once, some are refused although the server is there. They try again
// this often, this many times, before the output gives up.
constexpr pa_usec_t kBusyRetryInterval = 100 * PA_USEC_PER_MSEC;
constexpr int kBusyRetries = 10;
// The server keeps this many buffers queued and asks for one at a time.
constexpr uint32_t kQueuedBuffers = 3;

enum class Phase { Opening,
    Open,
    Failed };

// Whether a refused connection may just mean a busy server: one is named
// explicitly, or the usual socket exists. Without either, nothing listens.
bool ServerExpected()
{
    const char* server = getenv("PULSE_SERVER");
    if (server != nullptr && server[0] != '\0')
        return true;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == '\0')
        return false;
    struct stat status;
    std::string socket = std::string(runtime) + "/pulse/native";
    return stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

class PulseAudioOutput final : public AudioOutput {
public:
    PulseAudioOutput(const media_raw_audio_format& format, const char* streamName,
        RenderFunc render, void* context);
    ~PulseAudioOutput() override;

    Result<> Open();

    void Resume() override;
    void Pause() override;

private:
    static void ContextStateChanged(pa_context* context, void* self);
    static void StreamStateChanged(pa_stream* stream, void* self);
    static void StreamWantsData(pa_stream* stream, size_t bytes, void* self);
    static void FillNow(pa_mainloop_api* api, pa_defer_event* event, void* self);
    static void OpenTimedOut(pa_mainloop_api* api, pa_time_event* event,
        const struct timeval* when, void* self);
    static void RetryDue(pa_mainloop_api* api, pa_time_event* event,
        const struct timeval* when, void* self);

    // What went wrong in opening, with the reason for the user;
    // B_ENTRY_NOT_FOUND when the error means that no server is there.
    static Error Describe(int error);

    bool ConnectContext();
    bool CreateStream();
    void DropStream();
    void DropContext();
    void Fill();
    void ApplyCork();
    void StreamReady();
    void Failed(int error);
    void Lost();
    void ArmTimer(pa_time_event* timer, pa_usec_t delay);

    media_raw_audio_format fFormat;
    std::string fStreamName;
    RenderFunc fRender;
    void* fRenderContext;
    std::vector<char> fBuffer;

    pa_threaded_mainloop* fLoop = nullptr;
    pa_mainloop_api* fApi = nullptr;
    pa_context* fContext = nullptr;
    pa_stream* fStream = nullptr;
    pa_defer_event* fFillEvent = nullptr;
    pa_time_event* fOpenTimer = nullptr;
    pa_time_event* fRetryTimer = nullptr;

    Phase fPhase = Phase::Opening;
    // Whether the connection to the server has been made, and whether
    // Open() has returned (so a later refusal must be said by the output).
    bool fConnected = false;
    bool fOpenReturned = false;
    int fOpenError = PA_OK;
    int fBusyRetries = 0;
    bool fRunning = false;
    bool fLost = false;
};

PulseAudioOutput::PulseAudioOutput(const media_raw_audio_format& format, const char* streamName,
    RenderFunc render, void* context)
    : fFormat(format), fStreamName(streamName), fRender(render), fRenderContext(context), fBuffer(format.buffer_size)
{
}

PulseAudioOutput::~PulseAudioOutput()
{
    if (fLoop == nullptr)
        return;
    // Joins the thread; after this, nothing else touches the objects below.
    pa_threaded_mainloop_stop(fLoop);
    DropStream();
    DropContext();
    if (fFillEvent != nullptr)
        fApi->defer_free(fFillEvent);
    if (fOpenTimer != nullptr)
        fApi->time_free(fOpenTimer);
    if (fRetryTimer != nullptr)
        fApi->time_free(fRetryTimer);
    pa_threaded_mainloop_free(fLoop);
}

Result<> PulseAudioOutput::Open()
{
    fLoop = pa_threaded_mainloop_new();
    if (fLoop == nullptr)
        return Error { B_ERROR, "no PulseAudio main loop" };
    fApi = pa_threaded_mainloop_get_api(fLoop);

    pa_threaded_mainloop_lock(fLoop);
    fFillEvent = fApi->defer_new(fApi, FillNow, this);
    fApi->defer_enable(fFillEvent, 0);
    fOpenTimer = fApi->time_new(fApi, nullptr, OpenTimedOut, this);
    fRetryTimer = fApi->time_new(fApi, nullptr, RetryDue, this);
    ArmTimer(fOpenTimer, kOpenTimeout);
    bool connecting = ConnectContext();
    if (connecting && pa_threaded_mainloop_start(fLoop) < 0) {
        fPhase = Phase::Failed;
        fOpenError = PA_ERR_INTERNAL;
    } else if (!connecting) {
        // A context that fails at once has usually said why in its state
        // callback already.
        if (fPhase == Phase::Opening)
            Failed(fContext != nullptr ? pa_context_errno(fContext) : PA_ERR_INTERNAL);
    }
    while (fPhase == Phase::Opening && !fConnected)
        pa_threaded_mainloop_wait(fLoop);
    fApi->time_restart(fOpenTimer, nullptr);
    bool failed = fPhase == Phase::Failed;
    fOpenReturned = true;
    pa_threaded_mainloop_unlock(fLoop);
    if (failed)
        return Describe(fOpenError);
    return {};
}

Error PulseAudioOutput::Describe(int error)
{
    // Nothing listens where the server should be: another backend may
    // find one. A server that answered and then hung up during the
    // handshake is there, but takes no more clients.
    const std::string text = pa_strerror(error);
    switch (error) {
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_INVALIDSERVER:
        return Error { B_ENTRY_NOT_FOUND, "no PulseAudio server: " + text };
    case PA_ERR_CONNECTIONTERMINATED:
        return Error { B_ERROR, "the sound server hung up (" + text + "); it may have too many clients" };
    case PA_ERR_TIMEOUT:
        return Error { B_ERROR, "the sound server didn't answer within 5 seconds" };
    default:
        return Error { B_ERROR, "PulseAudio: " + text };
    }
}

void PulseAudioOutput::Resume()
{
    pa_threaded_mainloop_lock(fLoop);
    if (!fRunning) {
        fRunning = true;
        ApplyCork();
        // The server may have asked for data while the stream was corked;
        // it won't ask again until that has been written.
        fApi->defer_enable(fFillEvent, 1);
    }
    pa_threaded_mainloop_unlock(fLoop);
}

// Render calls run on the mainloop thread with the lock held and check
// fRunning first, so once the lock is ours none runs, and none starts after.
void PulseAudioOutput::Pause()
{
    pa_threaded_mainloop_lock(fLoop);
    if (fRunning) {
        fRunning = false;
        fApi->defer_enable(fFillEvent, 0);
        ApplyCork();
    }
    pa_threaded_mainloop_unlock(fLoop);
}

bool PulseAudioOutput::ConnectContext()
{
    // Mixers list a stream by its client's name: the instance's title, so
    // that instances can be told apart. No role either: a server that
    // restores one volume per role would tie every instance to every other
    // player of music.
    std::string label = InstanceLabel::Get();
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, label.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, ProgramName());
    fContext = pa_context_new_with_proplist(fApi, label.c_str(), properties);
    pa_proplist_free(properties);
    if (fContext == nullptr)
        return false;
    pa_context_set_state_callback(fContext, ContextStateChanged, this);
    // Never start a server: an instance plays on the user's server or not
    // at all.
    return pa_context_connect(fContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool PulseAudioOutput::CreateStream()
{
    pa_sample_spec sampleFormat {};
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.rate = static_cast<uint32_t>(fFormat.frame_rate);
    sampleFormat.channels = static_cast<uint8_t>(fFormat.channel_count);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);

    fStream = pa_stream_new(fContext, fStreamName.c_str(), &sampleFormat, &map);
    if (fStream == nullptr)
        return false;
    pa_stream_set_state_callback(fStream, StreamStateChanged, this);
    pa_stream_set_write_callback(fStream, StreamWantsData, this);

    const uint32_t bufferSize = static_cast<uint32_t>(fFormat.buffer_size);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = kQueuedBuffers * bufferSize;
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = bufferSize;
    attributes.fragsize = static_cast<uint32_t>(-1);
    int flags = fRunning ? PA_STREAM_NOFLAGS : PA_STREAM_START_CORKED;
    return pa_stream_connect_playback(fStream, nullptr, &attributes,
               static_cast<pa_stream_flags_t>(flags), nullptr, nullptr)
        >= 0;
}

void PulseAudioOutput::DropStream()
{
    if (fStream == nullptr)
        return;
    pa_stream_set_state_callback(fStream, nullptr, nullptr);
    pa_stream_set_write_callback(fStream, nullptr, nullptr);
    pa_stream_disconnect(fStream);
    pa_stream_unref(fStream);
    fStream = nullptr;
}

void PulseAudioOutput::DropContext()
{
    if (fContext == nullptr)
        return;
    pa_context_set_state_callback(fContext, nullptr, nullptr);
    pa_context_disconnect(fContext);
    pa_context_unref(fContext);
    fContext = nullptr;
}

// Renders whole buffers for as long as the server has room for one.
void PulseAudioOutput::Fill()
{
    if (!fRunning || fStream == nullptr || pa_stream_get_state(fStream) != PA_STREAM_READY)
        return;
    const size_t size = fBuffer.size();
    for (;;) {
        size_t room = pa_stream_writable_size(fStream);
        if (room == static_cast<size_t>(-1) || room < size)
            return;
        fRender(fRenderContext, fBuffer.data(), size);
        if (pa_stream_write(fStream, fBuffer.data(), size, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
    }
}

void PulseAudioOutput::ApplyCork()
{
    if (fStream == nullptr || pa_stream_get_state(fStream) != PA_STREAM_READY)
        return;
    int corked = fRunning ? 0 : 1;
    if (pa_stream_is_corked(fStream) == corked)
        return;
    if (pa_operation* operation = pa_stream_cork(fStream, corked, nullptr, nullptr))
        pa_operation_unref(operation);
}

void PulseAudioOutput::StreamReady()
{
    ApplyCork();
    fLost = false;
    if (fPhase == Phase::Opening) {
        fPhase = Phase::Open;
        pa_threaded_mainloop_signal(fLoop, 0);
    }
    Fill();
}

void PulseAudioOutput::Failed(int error)
{
    // Retries need the loop running, so a failure reported synchronously
    // from Open() is final.
    if (fPhase == Phase::Opening && error == PA_ERR_CONNECTIONREFUSED
        && fBusyRetries < kBusyRetries && pa_threaded_mainloop_in_thread(fLoop)
        && ServerExpected()) {
        fBusyRetries++;
        // Spread instances that were refused together.
        ArmTimer(fRetryTimer, kBusyRetryInterval + (getpid() % 50) * PA_USEC_PER_MSEC);
        return;
    }
    if (fPhase == Phase::Opening) {
        fPhase = Phase::Failed;
        fOpenError = error != PA_OK ? error : PA_ERR_UNKNOWN;
        pa_threaded_mainloop_signal(fLoop, 0);
        if (fOpenReturned)
            ReportOpenFailure(Describe(fOpenError).reason);
    } else if (fPhase == Phase::Open) {
        Lost();
    }
}

// The server or the stream went away after the stream had played. The
// context or stream may be in the middle of calling us, so they are dropped
// when the retry is due, not here.
void PulseAudioOutput::Lost()
{
    if (!fLost) {
        fLost = true;
        ReportLine("lost the sound server; reconnecting");
    }
    ArmTimer(fRetryTimer, kRetryDelay);
}

void PulseAudioOutput::ArmTimer(pa_time_event* timer, pa_usec_t delay)
{
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, delay);
    fApi->time_restart(timer, &when);
}

void PulseAudioOutput::ContextStateChanged(pa_context* context, void* self)
{
    auto* output = static_cast<PulseAudioOutput*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_AUTHORIZING:
        // Connected: the server is there, whenever it answers.
        if (!output->fConnected) {
            output->fConnected = true;
            pa_threaded_mainloop_signal(output->fLoop, 0);
        }
        break;
    case PA_CONTEXT_READY:
        if (!output->CreateStream())
            output->Failed(pa_context_errno(context));
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        output->Failed(pa_context_errno(context));
        break;
    default:
        break;
    }
}

void PulseAudioOutput::StreamStateChanged(pa_stream* stream, void* self)
{
    auto* output = static_cast<PulseAudioOutput*>(self);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        output->StreamReady();
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        output->Failed(pa_context_errno(pa_stream_get_context(stream)));
        break;
    default:
        break;
    }
}

void PulseAudioOutput::StreamWantsData(pa_stream*, size_t, void* self)
{
    static_cast<PulseAudioOutput*>(self)->Fill();
}

void PulseAudioOutput::FillNow(pa_mainloop_api* api, pa_defer_event* event, void* self)
{
    api->defer_enable(event, 0);
    static_cast<PulseAudioOutput*>(self)->Fill();
}

void PulseAudioOutput::OpenTimedOut(pa_mainloop_api*, pa_time_event*, const struct timeval*,
    void* self)
{
    auto* output = static_cast<PulseAudioOutput*>(self);
    if (output->fPhase == Phase::Opening)
        output->Failed(PA_ERR_TIMEOUT);
}

// Drops whatever failed and starts over from there: a new stream on a
// context that still works, else a new context, whose READY state creates
// the stream. Each failure on the way arms the timer again.
void PulseAudioOutput::RetryDue(pa_mainloop_api*, pa_time_event*, const struct timeval*,
    void* self)
{
    auto* output = static_cast<PulseAudioOutput*>(self);
    output->DropStream();
    if (output->fContext != nullptr && pa_context_get_state(output->fContext) != PA_CONTEXT_READY)
        output->DropContext();
    bool started = output->fContext != nullptr ? output->CreateStream() : output->ConnectContext();
    if (!started)
        output->ArmTimer(output->fRetryTimer, kRetryDelay);
}

} // namespace

OpenedOutput OpenPulseAudioOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context)
{
    auto output = std::make_unique<PulseAudioOutput>(format, streamName, render, context);
    if (Result<> opened = output->Open(); !opened)
        return opened.error();
    return std::unique_ptr<AudioOutput>(std::move(output));
}
