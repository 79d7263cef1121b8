#pragma once

// A uniform draw in [0, 1) from the C library's generator: random() scaled
// by 2^-31 in double precision. Stored into a float, the largest draws round
// up to 1.0 itself, and a product such as u * 1270.0 to its full factor.

#include <cstdlib>

inline double uniform01()
{
    return static_cast<double>(random()) * 4.656612873077393e-10;
}
