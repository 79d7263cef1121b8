#pragma once

// The lock held around every SDL hint change and every start-up and
// shut-down of an SDL subsystem, video and audio alike: SDL doesn't
// serialise them, and the window threads, the screen, alerts and the sound
// output each start what they need.

#include <mutex>

std::mutex& SdlLock();
