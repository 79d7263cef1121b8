#pragma once

// The sound player's fill function: synthesizes the engine's voice (see
// Synthesize) from the engine's parameter block.
//
// Runs on the player's thread only, one call at a time. It takes no lock and
// allocates nothing; the only exception is the first call of the process,
// which prints the player's format to stdout.

#include "MediaFormat.h"

#include <cstddef>

// `cookie` is the AudioSubs whose delay line and oscillator state are used.
// Fills size / 8 whole frames of two floats, left first; any bytes past the
// last whole frame are left as they are.
void BufferProc(void* cookie, void* buffer, size_t size, const media_raw_audio_format& format);
