#include "AudioSubs.h"

#include "BufferProc.h"
#include "Clock.h"
#include "ParameterBlock.h"
#include "SoundPlayer.h"

#include <cmath>
#include <cstdlib>
#include <new>

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
    // Cleared, so the first trip round the delay line feeds back silence.
    delayLine = static_cast<float*>(calloc(DELAY_CAPACITY, sizeof(float)));
    if (delayLine == nullptr)
        throw std::bad_alloc();
    writePos = 0;
    phase = 0.0f;
    rampAccumulator = 0;

    globalWubbix.pan = 0.5f;
    globalWubbix.rightGain = static_cast<float>(std::sqrt(0.5));
    globalWubbix.leftGain = static_cast<float>(std::sqrt(1.0 - globalWubbix.pan));
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
