#pragma once

// Colours, one byte per channel; alpha 255 is opaque.

#include "SupportDefs.h"

struct rgb_color {
    uint8 red = 0;
    uint8 green = 0;
    uint8 blue = 0;
    uint8 alpha = 255;

    constexpr bool operator==(const rgb_color&) const = default;
};
