#pragma once

// The program's icon, drawn as pixel art at 16 and 32 pixels: a dark window
// with "gon" in hot pink over "ubb" in lime. Larger sizes are these scaled
// up by whole factors, without smoothing. The icon theme's files under
// app/icons are written from this art by tools/icon_files.

#include "SupportDefs.h"

#include <vector>

// The icon at `size` pixels (16 or 32), as ARGB pixels row by row.
std::vector<uint32> AppIconPixels(int32 size);
