// The main of every unit test program: its lines go by the program's name.
// Sound goes through the SDL backend to SDL's dummy output: a real player
// thread that pulls buffers on time, with no sound server involved, not
// even the user's own. Video is not faked: the platform refuses SDL's dummy
// and offscreen video drivers, so a test that shows a window and finds no
// display sees the window close.

#include "Report.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    SetProgramName("gondavel_wubbix");
    setenv("GW_SOUND_SERVER", "sdl", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
