#pragma once

// The audio engine: owns the delay line, the oscillator state and the sound
// player that pulls buffers from BufferProc. Constructing it centres the
// voice and starts playback; CleanUp() stops it for good. A silent engine
// has no player: whoever made it calls BufferProc.
//
// The window constructs the engine on the main thread, in its Init() with
// the window locked, and cleans it up and destroys it on the window's own
// thread, in its destructor; the window's lock keeps the two apart. Once
// playback runs, the fields below belong to the player's thread, which reads
// and writes them in BufferProc.

#include "MediaFormat.h"
#include "ParameterBlock.h"
#include "Result.h"
#include "SupportDefs.h"
#include "Synth.h"

#include <atomic>

class BSoundPlayer;
struct VoiceSnapshot;

// What the engine plays and BufferProc renders: 44.1 kHz stereo, 32-bit
// little-endian float, in buffers of 1024 frames.
constexpr media_raw_audio_format EngineFormat()
{
    return {
        .frame_rate = static_cast<float>(kSynthFrameRate),
        .channel_count = 2,
        .format = B_AUDIO_FLOAT,
        .byte_order = B_MEDIA_LITTLE_ENDIAN,
        .buffer_size = kEngineBufferFrames * 2 * sizeof(float),
    };
}

class AudioSubs : public SynthState {
public:
    // An engine whose sound nobody plays: it sets the voice up as a playing
    // one does, and its owner calls BufferProc with it as the cookie.
    struct Silent {};

    AudioSubs();
    explicit AudioSubs(Silent);
    ~AudioSubs();

    AudioSubs(const AudioSubs&) = delete;
    AudioSubs& operator=(const AudioSubs&) = delete;

    void InitAudioStuff();
    // Stops playback, waiting until no fill call runs, and releases the
    // player. Safe to call again.
    void CleanUp();
    void Go();
    void SetSRate(float rate);

    // Copies the delay line, the oscillator and the write position into
    // `into` between two fills: a playing engine at the start of its next
    // fill, waiting for it at most `timeout`; a silent one at once. Returns
    // when the copy was taken, in system_time(); B_TIMED_OUT when no fill
    // came in time (no sound is playing), and at once while none has come
    // since. One thread at a time.
    Result<bigtime_t> Capture(VoiceSnapshot& into, bigtime_t timeout);
    // Takes the copy Capture() asked for, if any. BufferProc calls it first
    // thing, on the player's thread; it never waits.
    void TakeCapture();

    // The delay line and oscillator come first, from SynthState.
    BSoundPlayer* player = nullptr;
    // What the voice plays; the process's own block.
    ParameterBlock* parameters = &globalWubbix;

private:
    void CopyInto(VoiceSnapshot& into);

    // The snapshot a capture waits for, handed over to the player's thread.
    std::atomic<VoiceSnapshot*> fCaptureInto { nullptr };
    std::atomic<bool> fCaptured { false };
    std::atomic<bigtime_t> fCapturedAt { 0 };
    std::atomic<uint64> fFills { 0 };
    // The fill count when a capture last found no fill, or ~0.
    uint64 fStalledAt = ~uint64(0);

    // The part of InitAudioStuff() that sets the voice up: a cleared delay
    // line, the oscillator at its start, the pan centred.
    void InitVoice();
};
