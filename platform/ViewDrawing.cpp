#include "platform/ViewDrawing.h"

#include "platform/Font.h"

#include <cmath>

ViewDrawing::~ViewDrawing()
{
    for (Rendered& rendered : fRendered)
        SDL_FreeSurface(rendered.surface);
}

void ViewDrawing::Begin(SDL_Surface* surface, SDL_Point origin, SDL_Rect clip)
{
    fSurface = surface;
    fOrigin = origin;
    fClip = clip;
}

void ViewDrawing::End()
{
    fSurface = nullptr;
}

SDL_Surface* ViewDrawing::Render(const char* text, rgb_color color)
{
    for (auto it = fRendered.begin(); it != fRendered.end(); ++it) {
        if (it->text == text && it->color == color) {
            fRendered.splice(fRendered.begin(), fRendered, it);
            return it->surface;
        }
    }
    TTF_Font* font = Font::Get();
    if (font == nullptr || text[0] == '\0')
        return nullptr;
    SDL_Color sdlColor { color.red, color.green, color.blue, color.alpha };
    SDL_Surface* surface = TTF_RenderUTF8_Blended(font, text, sdlColor);
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
    if (fSurface == nullptr)
        return StringWidth(text);
    SDL_Surface* rendered = Render(text, color);
    TTF_Font* font = Font::Get();
    if (rendered == nullptr || font == nullptr)
        return 0;
    SDL_Rect where;
    where.x = fOrigin.x + static_cast<int>(std::floor(pen.x + 0.5f));
    where.y = fOrigin.y + static_cast<int>(std::floor(pen.y + 0.5f)) - TTF_FontAscent(font);
    where.w = rendered->w;
    where.h = rendered->h;
    SDL_SetClipRect(fSurface, &fClip);
    SDL_BlitSurface(rendered, nullptr, fSurface, &where);
    return static_cast<float>(rendered->w);
}

float ViewDrawing::StringWidth(const char* text)
{
    TTF_Font* font = Font::Get();
    int width = 0;
    if (font == nullptr || text == nullptr || TTF_SizeUTF8(font, text, &width, nullptr) != 0)
        return 0;
    return static_cast<float>(width);
}
