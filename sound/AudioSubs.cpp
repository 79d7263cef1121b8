#include "AudioSubs.h"

#include "BufferProc.h"
#include "Clock.h"
#include "SoundPlayer.h"

#include <cstdlib>

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
