#pragma once

// BSoundPlayer plays one output stream. Once started, it calls the fill
// function on a thread of its own for every buffer the sound output needs,
// always in the format it was constructed with.
//
// The player is created, started, stopped and destroyed from one thread at a
// time; the fill function runs only on the player's thread. When the sound
// output can't be opened the player says so once on stderr, InitCheck()
// reports the failure and the player stays silent; every other call is still
// safe.
//
// Start-up trace: when the environment variable GW_TRACE_START is set (and
// not empty or "0") when the player is constructed, the player writes one
// line to stderr just before it first calls the fill function:
// "<program>: trace: first-buffer <ns>", where <ns> is CLOCK_MONOTONIC
// in nanoseconds. bench/instances uses it to time start-up from outside.

#include "MediaFormat.h"
#include "SupportDefs.h"

#include <atomic>
#include <memory>

class AudioOutput;

class BSoundPlayer {
public:
    using BufferPlayerFunc = void (*)(void* cookie, void* buffer, size_t size,
        const media_raw_audio_format& format);
    // Event notifications are not produced; the argument is accepted so that
    // callers can pass "none".
    using EventNotifierFunc = void (*)(void* cookie, int32 what, ...);

    // `format` must be 32-bit float, little-endian; a zero (wildcard) field
    // takes the default of 44100 Hz, 2 channels, 1024-frame buffers. `name`
    // is the stream's name as the sound server lists it.
    BSoundPlayer(const media_raw_audio_format* format, const char* name,
        BufferPlayerFunc playBuffer, EventNotifierFunc notifier = nullptr,
        void* cookie = nullptr);
    ~BSoundPlayer();

    BSoundPlayer(const BSoundPlayer&) = delete;
    BSoundPlayer& operator=(const BSoundPlayer&) = delete;

    status_t InitCheck() const;
    media_raw_audio_format Format() const;

    // Starts calling the fill function. Without data (the default, see
    // SetHasData) the player plays silence without calling it.
    status_t Start();
    // Stops calling the fill function. Returns only once no call is running
    // and none will start, whatever `block` says; `flush` is accepted for
    // callers that distinguish it, and buffers are never queued beyond the
    // one being filled.
    void Stop(bool block = true, bool flush = true);

    void SetHasData(bool hasData);
    bool HasData() const;

private:
    static void Render(void* player, void* buffer, size_t size);
    void TraceFirstBuffer();

    media_raw_audio_format fFormat;
    BufferPlayerFunc fPlayBuffer;
    void* fCookie;
    std::atomic<bool> fHasData { false };
    // Whether the first fill is still to be traced; only the player's
    // thread clears it.
    bool fTraceFirstBuffer = false;
    bool fRunning = false;
    std::unique_ptr<AudioOutput> fOutput;
    status_t fInitStatus = B_NO_INIT;
};
