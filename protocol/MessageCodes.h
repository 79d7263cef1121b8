#pragma once

// What the program's parts say to each other: the codes of the messages an
// instance, its windows and the control tool send, and the names of their
// fields, each named here once. The signature that finds the instances is
// the program's own (ProgramInfo.h).

#include "SupportDefs.h"

// To a window: roll the drift settings again; the optional fields
// kMainsField and kDeltaField also roll the main sound values and the
// restlessness. Only whether a field is there counts.
inline constexpr uint32 INIT_SLIDERS = FourCC("insl");
inline constexpr const char kMainsField[] = "mains";
inline constexpr const char kDeltaField[] = "delta";
// To a window, every pulse; the window does not act on it.
inline constexpr uint32 UPDATE_SLIDERS = FourCC("upsl");
// To a newly launched instance, with the int8 field kWhereField; ignored
// there.
inline constexpr uint32 LAUNCH_NOTE = FourCC("nat ");
inline constexpr const char kWhereField[] = "where";
// To a window, from a tool that waits for the reply: a VOICE_STATE message
// with the voice's snapshot (see VoiceSnapshot) as the raw field
// kStateField, or, when the instance can't take one, the string field
// kErrorField.
inline constexpr uint32 VOICE_STATE_REQUEST = FourCC("vsrq");
inline constexpr uint32 VOICE_STATE = FourCC("vsst");
inline constexpr const char kStateField[] = "state";
inline constexpr const char kErrorField[] = "error";

// What each instance publishes of itself for tools to list (see
// BApplication::SetInstanceInfo): its index among the instances, int32, and
// its window's title, a string.
inline constexpr const char kIndexField[] = "index";
inline constexpr const char kTitleField[] = "title";

static_assert(INIT_SLIDERS == 0x696E736C);
static_assert(UPDATE_SLIDERS == 0x7570736C);
static_assert(LAUNCH_NOTE == 0x6E617420);
