#pragma once

// Font: the platform's one text face, private to the platform's .cpp files.
// It is looked up (fontconfig's best sans-serif face) and opened once per
// process, on first use, and closed when video shuts down. Get() is for the
// thread that holds video (see SdlVideo).

#include <SDL_ttf.h>

class Font {
public:
    static constexpr int kPixelSize = 11;

    // The open font, or nullptr if none could be opened (said once on
    // stderr).
    static TTF_Font* Get();
    static void Close();
};
