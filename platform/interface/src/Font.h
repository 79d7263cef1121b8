#pragma once

// Font: the interface kit's one text face:
// fontconfig's best sans-serif face at kPixelSize units (pixels times the
// display's scale), rendered by SDL_ttf. The face's file is looked up once
// per process. Sizes and positions here are in pixels.
//
// Text is rendered seldom (views keep what they rendered, see ViewDrawing),
// so the text libraries are not linked into the program: SDL_ttf is loaded
// when a call first needs it and fontconfig only for the look-up. Unload()
// closes the face and unloads them again, giving back their memory, until
// the next call needs them; windows do that once the font has not been
// used for a while. All calls are safe from any thread.

#include "SupportDefs.h"

#include <SDL.h>

class Font {
public:
    static constexpr int kPixelSize = 11;

    // `text` (UTF-8) rendered in `color` as SDL_ttf's blended text: an
    // ARGB8888 surface whose alpha is the glyphs' coverage. The caller owns
    // it; SDL_FreeSurface() frees it whether or not the font is loaded. Null
    // when there is no font (said once on stderr) or nothing to render.
    static SDL_Surface* Render(const char* text, SDL_Color color);
    // The width of `text` in pixels, as Render() makes it; false when there
    // is no font.
    static bool Width(const char* text, int* width);
    // How far the baseline lies below the top of a rendered line.
    static int Ascent();
    // How far apart the baselines of successive lines lie.
    static int LineSkip();

    // How many pixels a unit is across; 1 unless set.
    static void SetScale(int32 scale);

    // Closes the face and unloads the text libraries, if loaded.
    static void Unload();
    // Unloads them if loaded and unused for at least `idle` microseconds.
    static void UnloadIfUnusedFor(bigtime_t idle);
};
