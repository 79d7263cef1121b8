#pragma once

// The raw audio format record that a sound player is opened with and that
// its fill function is handed on every call.

#include "SupportDefs.h"

#include <cstddef>

enum : uint32 {
    B_AUDIO_FLOAT = 0x24, // 32-bit float samples, full scale at +-1.0
};

// The samples' byte order: the sound outputs take little-endian only.
enum : uint32 {
    B_MEDIA_LITTLE_ENDIAN = 2,
};

struct media_raw_audio_format {
    // Every field zero: "anything will do". Callers start from this and
    // overwrite the fields they care about.
    static const media_raw_audio_format wildcard;

    float frame_rate;
    uint32 channel_count;
    uint32 format;
    uint32 byte_order;
    size_t buffer_size;
};
