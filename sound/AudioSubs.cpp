#include "AudioSubs.h"

#include "BufferProc.h"
#include "Clock.h"
#include "SoundPlayer.h"
#include "VoiceSnapshot.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

AudioSubs::AudioSubs()
{
    InitAudioStuff();
    snooze(10000);
    Go();
}

AudioSubs::AudioSubs(Silent)
{
    InitVoice();
}

AudioSubs::~AudioSubs()
{
    CleanUp();
    free(delayLine);
}

void AudioSubs::InitAudioStuff()
{
    InitVoice();
    media_raw_audio_format format = EngineFormat();
    player = new BSoundPlayer(&format, "g_w_new", BufferProc, nullptr, this);
    player->Start();
    player->SetHasData(true);
}

void AudioSubs::InitVoice()
{
    delayLine = NewDelayLine();
    writePos = 0;
    phase = 0.0f;
    rampAccumulator = 0;
    CentreVoice(*parameters);
}

void AudioSubs::CleanUp()
{
    if (player == nullptr)
        return;
    player->Stop(true, true);
    player->SetHasData(false);
    delete player;
    player = nullptr;
}

void AudioSubs::Go()
{
}

void AudioSubs::SetSRate(float)
{
}

void AudioSubs::CopyInto(VoiceSnapshot& into)
{
    std::copy(delayLine, delayLine + VoiceSnapshot::kDelaySamples, into.delayLine.begin());
    into.writePos = writePos;
    into.phase = phase;
    into.rampAccumulator = rampAccumulator;
}

void AudioSubs::TakeCapture()
{
    fFills.fetch_add(1, std::memory_order_relaxed);
    VoiceSnapshot* into = fCaptureInto.exchange(nullptr, std::memory_order_acquire);
    if (into == nullptr)
        return;
    CopyInto(*into);
    fCapturedAt.store(system_time(), std::memory_order_relaxed);
    fCaptured.store(true, std::memory_order_release);
}

Result<bigtime_t> AudioSubs::Capture(VoiceSnapshot& into, bigtime_t timeout)
{
    if (player == nullptr) {
        CopyInto(into);
        return system_time();
    }
    // No fill since the last capture that found none: no sound plays, and
    // waiting again would only hold the window up.
    uint64 fills = fFills.load(std::memory_order_relaxed);
    if (fStalledAt == fills)
        return Error { B_TIMED_OUT, "its sound isn't playing" };
    fCaptured.store(false, std::memory_order_relaxed);
    fCaptureInto.store(&into, std::memory_order_release);
    const bigtime_t deadline = system_time() + timeout;
    while (!fCaptured.load(std::memory_order_acquire)) {
        if (system_time() >= deadline) {
            // Taken back, unless the player's thread has just taken it:
            // then the copy is under way and ends in a moment.
            if (fCaptureInto.exchange(nullptr, std::memory_order_acquire) == &into) {
                fStalledAt = fills;
                return Error { B_TIMED_OUT, "its sound isn't playing" };
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return fCapturedAt.load(std::memory_order_relaxed);
}
