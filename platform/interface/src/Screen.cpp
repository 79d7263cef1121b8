#include "Screen.h"

#include "SdlVideo.h"

BScreen::BScreen(screen_id id)
{
    if (id.id == B_MAIN_SCREEN_ID.id)
        fFrame = SdlVideo::MainDisplayFrame();
}
