// AudioOutput on a native PipeWire server: one client connection and one
// playback stream, run by a PipeWire thread loop of the output's own. The
// stream's buffers are filled on PipeWire's data thread; everything else
// (connecting, errors, reconnecting) happens on the thread loop, under its
// lock.

#include "AudioOutput.h"
#include "InstanceLabel.h"
#include "PipeWireLibrary.h"
#include "Report.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// While the server is gone, a new connection is tried this often; an attempt
// the server hasn't answered within kAttemptTimeout is given up and retried.
constexpr auto kRetryInterval = std::chrono::milliseconds(250);
constexpr auto kAttemptTimeout = std::chrono::seconds(2);

// The usual speaker positions for 1 to 8 interleaved channels.
void SetPositions(spa_audio_info_raw& info)
{
    static const uint32_t kLayouts[8][8] = {
        { SPA_AUDIO_CHANNEL_MONO },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_RL,
            SPA_AUDIO_CHANNEL_RR },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
            SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
            SPA_AUDIO_CHANNEL_RC, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR },
        { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
            SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR },
    };
    for (uint32_t channel = 0; channel < info.channels; channel++)
        info.position[channel] = kLayouts[info.channels - 1][channel];
}

class PipeWireAudioOutput final : public AudioOutput {
public:
    PipeWireAudioOutput(const PipeWireLibrary& pw, const media_raw_audio_format& format,
        const char* streamName, RenderFunc render, void* context);
    ~PipeWireAudioOutput() override;

    Result<> Open();

    void Resume() override;
    void Pause() override;

private:
    // Guarded by the thread loop's lock.
    enum class State {
        kOpening, // waiting for the server to accept the first stream
        kPlaying, // the stream is up (playing or paused)
        kLost,    // the server went away; reconnecting from the retry timer
    };

    int Connect();
    void Disconnect();
    void Failed(const std::string& reason);

    static void OnCoreError(void* self, uint32_t id, int seq, int result, const char* message);
    static void OnStateChanged(void* self, pw_stream_state old, pw_stream_state state,
        const char* error);
    static void OnProcess(void* self);
    static void OnRetryTimer(void* self, uint64_t expirations);

    void CopyOut(uint8_t* out, size_t size);

    const PipeWireLibrary& fPw;
    const media_raw_audio_format fFormat;
    const std::string fStreamName;
    // What mixers list the stream by.
    std::string fLabel;
    const RenderFunc fRender;
    void* const fContext;

    // Whole rendered buffers, handed out in whatever pieces the server asks
    // for. Touched only by the data thread.
    std::vector<uint8_t> fCarry;
    size_t fCarryRead;

    pw_thread_loop* fLoop = nullptr;
    pw_context* fPwContext = nullptr;
    pw_core* fCore = nullptr;
    pw_stream* fStream = nullptr;
    spa_hook fCoreListener {};
    spa_hook fStreamListener {};
    spa_source* fRetryTimer = nullptr;

    State fState = State::kOpening;
    // Why the server refused the first stream; empty unless it did. Whether
    // Open() has returned, so that the refusal is the output's to report.
    std::string fOpenError;
    bool fOpenReturned = false;
    // Whether the current loss has been reported on stderr.
    bool fReported = false;
    // Whether a new stream waits for the server's answer, and since when.
    bool fAttemptPending = false;
    std::chrono::steady_clock::time_point fAttemptStart;
    // Streams the server took and then dropped before they could play, and
    // when the next one may be asked for.
    unsigned fDropped = 0;
    std::chrono::steady_clock::time_point fNextAttempt;

    // Pause() sets fPaused, then waits until fRendering is clear. The data
    // thread sets fRendering before it looks at fPaused, so one of the two
    // always sees the other (both sequentially consistent).
    std::atomic<bool> fPaused { true };
    std::atomic<bool> fRendering { false };
};

PipeWireAudioOutput::PipeWireAudioOutput(const PipeWireLibrary& pw,
    const media_raw_audio_format& format, const char* streamName, RenderFunc render,
    void* context)
    : fPw(pw), fFormat(format), fStreamName(streamName), fRender(render), fContext(context), fCarry(format.buffer_size), fCarryRead(format.buffer_size)
{
}

PipeWireAudioOutput::~PipeWireAudioOutput()
{
    Pause();
    if (fLoop != nullptr)
        fPw.thread_loop_stop(fLoop);
    // With the loop thread gone, its objects may be torn down from here.
    Disconnect();
    if (fRetryTimer != nullptr)
        pw_loop_destroy_source(fPw.thread_loop_get_loop(fLoop), fRetryTimer);
    if (fPwContext != nullptr)
        fPw.context_destroy(fPwContext);
    if (fLoop != nullptr)
        fPw.thread_loop_destroy(fLoop);
}

Result<> PipeWireAudioOutput::Open()
{
    fLoop = fPw.thread_loop_new("gw-pipewire", nullptr);
    if (fLoop == nullptr)
        return Error::FromErrno(errno, "no PipeWire loop: ");
    pw_loop* loop = fPw.thread_loop_get_loop(fLoop);
    fLabel = InstanceLabel::Get();
    fPwContext = fPw.context_new(loop,
        fPw.properties_new(PW_KEY_APP_NAME, fLabel.c_str(), PW_KEY_APP_ICON_NAME, ProgramName(), nullptr),
        0);
    // Without its modules or configuration (the client library alone, as
    // in a container that shares the host's runtime directory), libpipewire
    // can't make a context: to us that is no PipeWire, and the next sound
    // server is tried.
    if (fPwContext == nullptr)
        return Error { B_ENTRY_NOT_FOUND, std::string("PipeWire can't be set up here: ") + strerror(errno) };
    fRetryTimer = pw_loop_add_timer(loop, OnRetryTimer, this);
    if (fRetryTimer == nullptr)
        return Error::FromErrno(errno, "PipeWire's set-up failed: ");
    if (fPw.thread_loop_start(fLoop) < 0)
        return Error { B_ERROR, "PipeWire's thread didn't start" };

    // Connected, the server is there: its answer comes in the background,
    // and the stream plays from then on.
    fPw.thread_loop_lock(fLoop);
    int connectError = Connect();
    fOpenReturned = true;
    fPw.thread_loop_unlock(fLoop);

    if (connectError == 0)
        return {};
    // Nobody listening on the socket counts as no server at all.
    Error error = Error::FromErrno(connectError);
    if (error.code == B_ENTRY_NOT_FOUND)
        return Error { B_ENTRY_NOT_FOUND, "no PipeWire server: " + error.reason };
    return Error { error.code, "the connection to the PipeWire server failed: " + error.reason };
}

void PipeWireAudioOutput::Resume()
{
    fPaused.store(false);
    fPw.thread_loop_lock(fLoop);
    if (fStream != nullptr)
        fPw.stream_set_active(fStream, true);
    fPw.thread_loop_unlock(fLoop);
}

void PipeWireAudioOutput::Pause()
{
    fPaused.store(true);
    // A render that started before the flag was set ends within one buffer.
    while (fRendering.load())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (fLoop == nullptr)
        return;
    // The server stops asking for buffers; until it does, they get silence.
    fPw.thread_loop_lock(fLoop);
    if (fStream != nullptr)
        fPw.stream_set_active(fStream, false);
    fPw.thread_loop_unlock(fLoop);
}

// Connects to the server and asks it for the stream; the answer comes later,
// in OnStateChanged. Called with the loop locked, or with the loop stopped.
// Returns 0, or the errno value of what failed.
int PipeWireAudioOutput::Connect()
{
    fCore = fPw.context_connect(fPwContext, nullptr, 0);
    if (fCore == nullptr)
        return errno;
    static const pw_core_events kCoreEvents = [] {
        pw_core_events events {};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = OnCoreError;
        return events;
    }();
    pw_core_add_listener(fCore, &fCoreListener, &kCoreEvents, this);

    size_t frameSize = fFormat.channel_count * sizeof(float);
    std::string latency = std::to_string(fFormat.buffer_size / frameSize) + "/"
        + std::to_string(std::lround(fFormat.frame_rate));
    // Listed by the instance's title, with no role: the session manager
    // restores volumes by role first, so one would tie every instance to
    // every other player of music.
    pw_properties* properties = fPw.properties_new(
        PW_KEY_MEDIA_TYPE, "Audio",
        PW_KEY_MEDIA_CATEGORY, "Playback",
        PW_KEY_MEDIA_NAME, fStreamName.c_str(),
        PW_KEY_NODE_NAME, ProgramName(),
        PW_KEY_APP_NAME, fLabel.c_str(),
        PW_KEY_APP_ICON_NAME, ProgramName(),
        PW_KEY_NODE_LATENCY, latency.c_str(),
        nullptr);
    fStream = fPw.stream_new(fCore, fStreamName.c_str(), properties);
    if (fStream == nullptr) {
        int error = errno;
        Disconnect();
        return error;
    }
    static const pw_stream_events kStreamEvents = [] {
        pw_stream_events events {};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = OnStateChanged;
        events.process = OnProcess;
        return events;
    }();
    fPw.stream_add_listener(fStream, &fStreamListener, &kStreamEvents, this);

    spa_audio_info_raw info {};
    info.format = SPA_AUDIO_FORMAT_F32_LE;
    info.rate = static_cast<uint32_t>(std::lround(fFormat.frame_rate));
    info.channels = fFormat.channel_count;
    SetPositions(info);
    uint8_t podBuffer[1024];
    spa_pod_builder builder {};
    spa_pod_builder_init(&builder, podBuffer, sizeof podBuffer);
    const spa_pod* params[] = { spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info) };

    // The process callback runs on the data thread, so that a buffer costs
    // one wake-up; Pause() synchronises with it through two atomics.
    uint32_t flags = PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
        | PW_STREAM_FLAG_RT_PROCESS;
    if (fPaused.load())
        flags |= PW_STREAM_FLAG_INACTIVE;
    int result = fPw.stream_connect(fStream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(flags), params, 1);
    if (result < 0) {
        Disconnect();
        return -result;
    }
    fAttemptPending = true;
    fAttemptStart = std::chrono::steady_clock::now();
    return 0;
}

void PipeWireAudioOutput::Disconnect()
{
    // Destroying the stream takes it off the data thread first.
    if (fStream != nullptr) {
        spa_hook_remove(&fStreamListener);
        fPw.stream_destroy(fStream);
        fStream = nullptr;
    }
    if (fCore != nullptr) {
        spa_hook_remove(&fCoreListener);
        fPw.core_disconnect(fCore);
        fCore = nullptr;
    }
    fAttemptPending = false;
}

// The connection or the stream broke; `what` says which and why. Nothing is
// torn down here: this runs inside the broken objects' own callbacks, so the
// retry timer does it.
void PipeWireAudioOutput::Failed(const std::string& what)
{
    fAttemptPending = false;
    if (fState == State::kOpening) {
        // Refused before it ever played: said once, and not tried again.
        if (fOpenError.empty() && fOpenReturned)
            ReportOpenFailure(what);
        fOpenError = what;
        return;
    }
    if (fState != State::kPlaying)
        return;
    // A server that takes streams and drops them again (a session manager
    // with no sink to link them to) is asked less and less often, up to
    // every two seconds; a server that is simply gone, every 250 ms.
    fNextAttempt = std::chrono::steady_clock::now() + kRetryInterval * (1u << std::min(fDropped, 3u));
    fDropped++;
    if (!fReported) {
        ReportLine("lost the sound server; reconnecting");
        fReported = true;
    }
    fState = State::kLost;
    timespec interval = { 0, std::chrono::nanoseconds(kRetryInterval).count() };
    pw_loop_update_timer(fPw.thread_loop_get_loop(fLoop), fRetryTimer, &interval, &interval, false);
}

void PipeWireAudioOutput::OnCoreError(void* data, uint32_t id, int, int result,
    const char* message)
{
    // Errors about other objects reach the stream, which reports them itself.
    if (id != PW_ID_CORE)
        return;
    auto* self = static_cast<PipeWireAudioOutput*>(data);
    std::string reason = strerror(-result);
    if (message != nullptr && message[0] != '\0')
        reason = std::string(message) + ": " + reason;
    self->Failed("lost the PipeWire server (" + reason + ")");
}

void PipeWireAudioOutput::OnStateChanged(void* data, pw_stream_state, pw_stream_state state,
    const char* error)
{
    auto* self = static_cast<PipeWireAudioOutput*>(data);
    switch (state) {
    case PW_STREAM_STATE_PAUSED:
    case PW_STREAM_STATE_STREAMING:
        self->fAttemptPending = false;
        // Back for good once it plays, or once it is up while paused.
        if (state == PW_STREAM_STATE_STREAMING || self->fPaused.load()) {
            self->fDropped = 0;
            self->fReported = false;
        }
        if (self->fState == State::kOpening && self->fOpenError.empty()) {
            self->fState = State::kPlaying;
            // Resumed while the server hadn't answered yet.
            if (!self->fPaused.load())
                self->fPw.stream_set_active(self->fStream, true);
        } else if (self->fState == State::kLost) {
            self->fState = State::kPlaying;
            timespec off = { 0, 0 };
            pw_loop_update_timer(self->fPw.thread_loop_get_loop(self->fLoop), self->fRetryTimer,
                &off, &off, false);
        }
        break;
    case PW_STREAM_STATE_ERROR:
    case PW_STREAM_STATE_UNCONNECTED:
        self->Failed(std::string("the PipeWire stream failed (")
            + (error != nullptr ? error : "disconnected") + ")");
        break;
    case PW_STREAM_STATE_CONNECTING:
        break;
    }
}

void PipeWireAudioOutput::OnRetryTimer(void* data, uint64_t)
{
    auto* self = static_cast<PipeWireAudioOutput*>(data);
    if (self->fState != State::kLost)
        return;
    auto now = std::chrono::steady_clock::now();
    if (self->fAttemptPending && now - self->fAttemptStart < kAttemptTimeout)
        return;
    if (now < self->fNextAttempt)
        return;
    self->Disconnect();
    // A failure leaves the output lost, and the timer tries again.
    self->Connect();
}

void PipeWireAudioOutput::OnProcess(void* data)
{
    auto* self = static_cast<PipeWireAudioOutput*>(data);
    pw_buffer* buffer = self->fPw.stream_dequeue_buffer(self->fStream);
    if (buffer == nullptr)
        return;
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data == nullptr) {
        self->fPw.stream_queue_buffer(self->fStream, buffer);
        return;
    }
    uint32_t frameSize = self->fFormat.channel_count * sizeof(float);
    uint32_t frames = plane.maxsize / frameSize;
    if (buffer->requested != 0)
        frames = std::min<uint64_t>(frames, buffer->requested);
    auto* out = static_cast<uint8_t*>(plane.data);
    size_t size = size_t(frames) * frameSize;

    self->fRendering.store(true);
    if (self->fPaused.load())
        memset(out, 0, size);
    else
        self->CopyOut(out, size);
    self->fRendering.store(false);

    plane.chunk->offset = 0;
    plane.chunk->stride = static_cast<int32_t>(frameSize);
    plane.chunk->size = static_cast<uint32_t>(size);
    self->fPw.stream_queue_buffer(self->fStream, buffer);
}

// Fills `out` from the carry buffer, rendering a whole new buffer into it
// each time it runs dry.
void PipeWireAudioOutput::CopyOut(uint8_t* out, size_t size)
{
    while (size > 0) {
        if (fCarryRead == fCarry.size()) {
            fRender(fContext, fCarry.data(), fCarry.size());
            fCarryRead = 0;
        }
        size_t count = std::min(size, fCarry.size() - fCarryRead);
        memcpy(out, fCarry.data() + fCarryRead, count);
        fCarryRead += count;
        out += count;
        size -= count;
    }
}

} // namespace

OpenedOutput OpenPipeWireOutput(const media_raw_audio_format& format, const char* streamName,
    AudioOutput::RenderFunc render, void* context)
{
    // Where no server runs, libpipewire isn't even loaded.
    if (!PipeWireSocketFound())
        return Error { B_ENTRY_NOT_FOUND, "no PipeWire server found" };
    Result<const PipeWireLibrary*> library = LoadPipeWireLibrary();
    if (!library)
        return library.error();
    auto output = std::make_unique<PipeWireAudioOutput>(**library, format, streamName, render,
        context);
    if (Result<> opened = output->Open(); !opened)
        return opened.error();
    return std::unique_ptr<AudioOutput>(std::move(output));
}
