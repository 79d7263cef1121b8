#pragma once

// BScreen: the geometry of a display. Safe from the main thread before any
// window is shown and from a window's thread; the answer is read from the
// display once per process and remembered.

#include "InterfaceDefs.h"
#include "Rect.h"

class BScreen {
public:
    explicit BScreen(screen_id id = B_MAIN_SCREEN_ID);

    bool IsValid() const { return fFrame.IsValid(); }
    // The display's rectangle, inclusive: a 1024x768 display gives
    // (0, 0, 1023, 767). Invalid when there is no display.
    BRect Frame() const { return fFrame; }

private:
    BRect fFrame;
};
