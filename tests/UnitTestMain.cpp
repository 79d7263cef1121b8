// Unit tests run on SDL's dummy sound output: a real player thread that pulls
// buffers on time, with no sound server involved, not even the user's own.

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    setenv("GW_SOUND_SERVER", "sdl", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
