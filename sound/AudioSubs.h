#pragma once

// The audio engine: owns the delay line, the oscillator state and the sound
// player that pulls buffers from BufferProc. Constructing it centres the
// voice and starts playback; CleanUp() stops it for good.
//
// Construct, CleanUp and destroy from one thread (the window's owner). Once
// playback runs, the fields below belong to the player's thread, which reads
// and writes them in BufferProc.

#include "SupportDefs.h"

class BSoundPlayer;

class AudioSubs {
public:
    AudioSubs();
    ~AudioSubs();

    AudioSubs(const AudioSubs&) = delete;
    AudioSubs& operator=(const AudioSubs&) = delete;

    void InitAudioStuff();
    // Stops playback, waiting until no fill call runs, and releases the
    // player. Safe to call again.
    void CleanUp();
    void Go();
    void SetSRate(float rate);

    float* delayLine = nullptr;       // DELAY_CAPACITY samples on the 16-bit scale
    int32 writePos = 0;
    float phase = 0.0f;               // sine phase in radians, 0 ... 6.28
    uint16 rampAccumulator = 0;
    BSoundPlayer* player = nullptr;
};
