#pragma once

// What codes of the messages the program itself sends.

#include "SupportDefs.h"

// To a window: roll the drift settings again; the optional fields "mains"
// and "delta" also roll the main sound values and the restlessness.
inline constexpr uint32 INIT_SLIDERS = FourCC("insl");
// To a window, every pulse; the window does not act on it.
inline constexpr uint32 UPDATE_SLIDERS = FourCC("upsl");
// To a newly launched instance, with the int8 field "where"; ignored there.
inline constexpr uint32 LAUNCH_NOTE = FourCC("nat ");
// To a window, from a tool that waits for the reply: a VOICE_STATE message
// with the voice's snapshot (see VoiceSnapshot) as the raw field "state",
// or, when the instance can't take one, the string field "error".
inline constexpr uint32 VOICE_STATE_REQUEST = FourCC("vsrq");
inline constexpr uint32 VOICE_STATE = FourCC("vsst");

static_assert(INIT_SLIDERS == 0x696E736C);
static_assert(UPDATE_SLIDERS == 0x7570736C);
static_assert(LAUNCH_NOTE == 0x6E617420);
