// What a view draws text with: the same string in a new colour, or after
// the text libraries were unloaded, must come out exactly as rendering it
// afresh in that colour does. Drawn into plain surfaces in the window
// surface's format; no display is involved.

#include "Font.h"
#include "ViewDrawing.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 60;
constexpr int kHeight = 20;
constexpr rgb_color kBackground { 40, 40, 40, 255 };

using SurfacePtr = std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)>;

SurfacePtr NewCanvas()
{
    SurfacePtr surface(SDL_CreateRGBSurfaceWithFormat(0, kWidth, kHeight, 32,
                           SDL_PIXELFORMAT_RGB888),
        SDL_FreeSurface);
    SDL_FillRect(surface.get(), nullptr,
        SDL_MapRGB(surface->format, kBackground.red, kBackground.green, kBackground.blue));
    return surface;
}

// Draws `text` on a fresh canvas with `drawing` and returns the pixels.
std::vector<Uint32> Draw(ViewDrawing& drawing, const char* text, rgb_color color)
{
    SurfacePtr canvas = NewCanvas();
    drawing.Begin(canvas.get(), SDL_Point { 2, 0 }, SDL_Rect { 0, 0, kWidth, kHeight });
    drawing.DrawString(text, color, BPoint(0, 14));
    drawing.End();
    std::vector<Uint32> pixels(kWidth * kHeight);
    for (int y = 0; y < kHeight; y++)
        memcpy(&pixels[y * kWidth], static_cast<Uint8*>(canvas->pixels) + y * canvas->pitch,
            kWidth * sizeof(Uint32));
    return pixels;
}

std::vector<Uint32> Blank()
{
    SurfacePtr canvas = NewCanvas();
    Uint32 background = static_cast<Uint32*>(canvas->pixels)[0];
    return std::vector<Uint32>(kWidth * kHeight, background);
}

} // namespace

TEST(ViewDrawing, TextDrawnAgainInOtherColoursMatchesTextRenderedInThem)
{
    const rgb_color colors[] = { { 200, 30, 90, 255 }, { 3, 250, 17, 255 }, { 0, 0, 0, 255 }, { 254, 254, 254, 255 } };
    ViewDrawing reused;
    for (const char* word : { "gondavel", "wubbix" }) {
        for (rgb_color color : colors) {
            std::vector<Uint32> again = Draw(reused, word, color);
            ViewDrawing fresh;
            std::vector<Uint32> rendered = Draw(fresh, word, color);
            ASSERT_NE(rendered, Blank()) << word << " drew nothing";
            EXPECT_EQ(again, rendered) << word << " in " << int(color.red) << ", "
                                       << int(color.green) << ", " << int(color.blue);
        }
    }
}

TEST(ViewDrawing, TextDrawnAfterTheFontWasUnloadedIsTheSame)
{
    const rgb_color color { 120, 200, 10, 255 };
    ViewDrawing before;
    std::vector<Uint32> first = Draw(before, "gondavel", color);
    Font::Unload();
    ViewDrawing after;
    EXPECT_EQ(Draw(after, "gondavel", color), first);
    Font::Unload();
}

TEST(ViewDrawing, StringWidthIsWhatDrawingAdvances)
{
    ViewDrawing drawing;
    float measured = drawing.StringWidth("wubbix");
    EXPECT_GT(measured, 20.0f);
    SurfacePtr canvas = NewCanvas();
    drawing.Begin(canvas.get(), SDL_Point { 0, 0 }, SDL_Rect { 0, 0, kWidth, kHeight });
    EXPECT_EQ(drawing.DrawString("wubbix", rgb_color { 1, 2, 3, 255 }, BPoint(0, 14)), measured);
    drawing.End();
    // Now kept rendered: the same width without the font.
    Font::Unload();
    EXPECT_EQ(drawing.StringWidth("wubbix"), measured);
    EXPECT_EQ(drawing.StringWidth(""), 0.0f);
}
