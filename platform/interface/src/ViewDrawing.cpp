#include "ViewDrawing.h"

#include "Font.h"
#include "SdlVideo.h"
#include "View.h"

#include <cmath>

ViewDrawing::~ViewDrawing()
{
    for (Rendered& rendered : fRendered)
        SDL_FreeSurface(rendered.surface);
}

void ViewDrawing::Begin(SDL_Surface* surface, SDL_Point origin, SDL_Rect clip)
{
    fDrawing = true;
    fSurface = surface;
    fOrigin = origin;
    fClip = clip;
}

void ViewDrawing::End()
{
    fDrawing = false;
    fSurface = nullptr;
}

namespace {

// Gives every pixel of `surface` (ARGB8888) the colour `color` and keeps
// its alpha. Text rendered in an opaque colour has that colour in every
// pixel, with the glyphs' coverage as alpha, so this turns it into the same
// text rendered in `color`.
void Recolor(SDL_Surface* surface, rgb_color color)
{
    const Uint32 rgb = (Uint32(color.red) << 16) | (Uint32(color.green) << 8) | color.blue;
    auto* row = static_cast<Uint8*>(surface->pixels);
    for (int y = 0; y < surface->h; y++, row += surface->pitch) {
        auto* pixel = reinterpret_cast<Uint32*>(row);
        for (int x = 0; x < surface->w; x++)
            pixel[x] = (pixel[x] & 0xff000000u) | rgb;
    }
}

} // namespace

SDL_Surface* ViewDrawing::Render(const char* text, rgb_color color)
{
    auto it = fRendered.begin();
    while (it != fRendered.end() && it->text != text)
        ++it;
    if (it != fRendered.end()) {
        fRendered.splice(fRendered.begin(), fRendered, it);
        Rendered& rendered = fRendered.front();
        if (rendered.color == color)
            return rendered.surface;
        if (rendered.color.alpha == 255 && color.alpha == 255
            && rendered.surface->format->format == SDL_PIXELFORMAT_ARGB8888) {
            Recolor(rendered.surface, color);
            rendered.color = color;
            return rendered.surface;
        }
        SDL_FreeSurface(rendered.surface);
        fRendered.pop_front();
    }

    SDL_Surface* surface = Font::Render(text, SDL_Color { color.red, color.green, color.blue, color.alpha });
    if (surface == nullptr)
        return nullptr;
    if (fRendered.size() >= kCachedStrings) {
        SDL_FreeSurface(fRendered.back().surface);
        fRendered.pop_back();
    }
    fRendered.push_front(Rendered { text, color, surface });
    return surface;
}

float ViewDrawing::DrawString(const char* text, rgb_color color, BPoint pen)
{
    if (text == nullptr)
        return 0;
    if (!fDrawing)
        return StringWidth(text);
    if (fSurface == nullptr)
        return 0;
    SDL_Surface* rendered = Render(text, color);
    if (rendered == nullptr)
        return 0;
    int scale = SdlVideo::Scale();
    SDL_Rect where;
    where.x = fOrigin.x + static_cast<int>(std::floor(pen.x * scale + 0.5f));
    where.y = fOrigin.y + static_cast<int>(std::floor(pen.y * scale + 0.5f)) - Font::Ascent();
    where.w = rendered->w;
    where.h = rendered->h;
    SDL_SetClipRect(fSurface, &fClip);
    SDL_BlitSurface(rendered, nullptr, fSurface, &where);
    return static_cast<float>(rendered->w) / scale;
}

float ViewDrawing::StringWidth(const char* text)
{
    if (text == nullptr)
        return 0;
    // A rendered string is exactly as wide as the font measures it.
    float scale = static_cast<float>(SdlVideo::Scale());
    for (const Rendered& rendered : fRendered) {
        if (rendered.text == text)
            return static_cast<float>(rendered.surface->w) / scale;
    }
    int width = 0;
    if (!Font::Width(text, &width))
        return 0;
    return static_cast<float>(width) / scale;
}

void ViewDrawing::FillRect(BRect rect, rgb_color color)
{
    if (fSurface == nullptr || !rect.IsValid())
        return;
    SDL_Rect pixels = SdlVideo::PixelRect(rect);
    pixels.x += fOrigin.x;
    pixels.y += fOrigin.y;
    if (!SDL_IntersectRect(&pixels, &fClip, &pixels))
        return;
    SDL_FillRect(fSurface, &pixels, SDL_MapRGB(fSurface->format, color.red, color.green, color.blue));
}

bool ViewDrawing::PaintDirty(BView* view, SDL_Surface* surface)
{
    BRect dirty = view->fDirty;
    view->fDirty = BRect();
    if (!dirty.IsValid())
        return false;
    if (surface == nullptr) {
        if ((view->fFlags & B_WILL_DRAW) != 0) {
            view->fDrawing->Begin(nullptr, SDL_Point {}, SDL_Rect {});
            view->Draw(dirty);
            view->fDrawing->End();
        }
        return true;
    }
    BRect frame = view->fFrame;
    SDL_Rect viewPixels = SdlVideo::PixelRect(frame);
    SDL_Rect clip = SdlVideo::PixelRect(BRect(dirty.left + frame.left, dirty.top + frame.top,
        dirty.right + frame.left, dirty.bottom + frame.top));
    if (!SDL_IntersectRect(&clip, &viewPixels, &clip))
        return false;
    rgb_color color = view->fViewColor;
    SDL_SetClipRect(surface, &clip);
    SDL_FillRect(surface, &clip, SDL_MapRGB(surface->format, color.red, color.green, color.blue));
    if ((view->fFlags & B_WILL_DRAW) != 0) {
        view->fDrawing->Begin(surface, SDL_Point { viewPixels.x, viewPixels.y }, clip);
        view->Draw(dirty);
        view->fDrawing->End();
    }
    return true;
}
