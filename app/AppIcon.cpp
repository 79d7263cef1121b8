#include "AppIcon.h"

#include <cstddef>

namespace {

// One character a pixel: ' ' transparent, '#' the frame, '.' the window's
// dark, 'o' hot pink, 'x' lime.
constexpr const char* kSmall[16] = {
    " ############## ",
    "#..............#",
    "#..............#",
    "#.ooo.ooo.oo...#",
    "#.o.o.o.o.o.o..#",
    "#.ooo.o.o.o.o..#",
    "#...o.ooo.o.o..#",
    "#.ooo..........#",
    "#..............#",
    "#........x...x.#",
    "#....x.x.x...x.#",
    "#....x.x.xxx.xx#",
    "#....x.x.x.x.x.#",
    "#....xxx.xxx.xx#",
    "#..............#",
    " ############## ",
};

constexpr const char* kLarge[32] = {
    " ############################## ",
    "#..............................#",
    "#..............................#",
    "#..............................#",
    "#..............................#",
    "#..oooooo..oooooo..oooo........#",
    "#..oooooo..oooooo..oooo........#",
    "#..oo..oo..oo..oo..oo..oo......#",
    "#..oo..oo..oo..oo..oo..oo......#",
    "#..oooooo..oo..oo..oo..oo......#",
    "#..oooooo..oo..oo..oo..oo......#",
    "#......oo..oooooo..oo..oo......#",
    "#......oo..oooooo..oo..oo......#",
    "#..oooooo......................#",
    "#..oooooo......................#",
    "#..............................#",
    "#..............................#",
    "#.................xx......xx...#",
    "#.................xx......xx...#",
    "#.........xx..xx..xx......xx...#",
    "#.........xx..xx..xx......xx...#",
    "#.........xx..xx..xxxxxx..xxxxx#",
    "#.........xx..xx..xxxxxx..xxxxx#",
    "#.........xx..xx..xx..xx..xx..x#",
    "#.........xx..xx..xx..xx..xx..x#",
    "#.........xxxxxx..xxxxxx..xxxxx#",
    "#.........xxxxxx..xxxxxx..xxxxx#",
    "#..............................#",
    "#..............................#",
    "#..............................#",
    "#..............................#",
    " ############################## ",
};

uint32 Color(char pixel)
{
    switch (pixel) {
    case '#':
        return 0xff262230;
    case '.':
        return 0xff0c0a14;
    case 'o':
        return 0xffff2e9a;
    case 'x':
        return 0xffb4ff1e;
    default:
        return 0x00000000;
    }
}

} // namespace

std::vector<uint32> AppIconPixels(int32 size)
{
    const char* const* art = size == 32 ? kLarge : kSmall;
    int32 side = size == 32 ? 32 : 16;
    std::vector<uint32> pixels;
    pixels.reserve(static_cast<size_t>(side) * side);
    for (int32 y = 0; y < side; y++) {
        for (int32 x = 0; x < side; x++)
            pixels.push_back(Color(art[y][x]));
    }
    return pixels;
}
