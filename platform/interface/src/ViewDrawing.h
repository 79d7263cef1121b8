#pragma once

// ViewDrawing: what a view draws with.
// While the window thread runs a view's Draw() it points the view at the
// window surface, the view's origin and the clip rectangle; DrawString()
// goes through here. Rendered strings are kept (a few per view, by string)
// so that text that doesn't change isn't rendered again: a string drawn in
// another opaque colour is only recoloured, which gives exactly what
// rendering it in that colour gives. Used only on the window's thread.

#include "GraphicsDefs.h"
#include "Rect.h"

#include <SDL.h>

class BView;

#include <list>
#include <string>

class ViewDrawing {
public:
    static constexpr size_t kCachedStrings = 8;

    ViewDrawing() = default;
    ~ViewDrawing();

    ViewDrawing(const ViewDrawing&) = delete;
    ViewDrawing& operator=(const ViewDrawing&) = delete;

    // Starts drawing into `surface` with the view's top-left corner at
    // `origin` (window pixels), clipped to `clip` (pixels); End() stops it.
    // A null `surface` draws into nothing.
    void Begin(SDL_Surface* surface, SDL_Point origin, SDL_Rect clip);
    void End();

    // Draws `text` with its baseline starting at `pen` (view coordinates,
    // in units) and returns its width in units; only the width when not
    // drawing, and nothing at all (0) when drawing into nothing.
    float DrawString(const char* text, rgb_color color, BPoint pen);
    float StringWidth(const char* text);
    // Fills `rect` (view coordinates, in units) with `color`, clipped.
    void FillRect(BRect rect, rgb_color color);

    // Paints the part of `view` waiting to be redrawn into the window
    // surface: the view colour, then the view's Draw() where it draws.
    // False when nothing of the view was waiting. With no surface, only
    // Draw() runs, drawing into nothing.
    static bool PaintDirty(BView* view, SDL_Surface* surface);

private:
    struct Rendered {
        std::string text;
        rgb_color color;
        SDL_Surface* surface;
    };

    // The rendered form of `text` in `color`, rendering or recolouring it
    // if needed.
    SDL_Surface* Render(const char* text, rgb_color color);

    bool fDrawing = false;
    SDL_Surface* fSurface = nullptr;
    SDL_Point fOrigin {};
    SDL_Rect fClip {};
    // Most recently used first.
    std::list<Rendered> fRendered;
};
