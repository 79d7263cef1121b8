#pragma once

// AlertBox: the window BAlert shows, a text and a row of buttons, the last
// the default (Return). It is an ordinary window of the calling thread's
// video connection: it opens, draws itself and tells what an event of its
// own means, but runs no loop. On a window's thread the window's loop
// hands it its events (see BWindow); elsewhere RunAlone() waits for them.
// It is transient for `parent` when there is one, so that window managers
// keep it above that window, and placed over it. Call everything on the
// thread that made it, with video acquired by that thread.

#include "Result.h"
#include "X11Window.h"

#include <SDL.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class AlertBox {
public:
    AlertBox(const std::string& text, const std::vector<std::string>& buttons);
    ~AlertBox();

    AlertBox(const AlertBox&) = delete;
    AlertBox& operator=(const AlertBox&) = delete;

    // Shows the box titled `title`, over `parent` if there is one; fails,
    // having shown nothing, when it can't be made. The wait for the window
    // manager to map it ends early once `giveUp` says so.
    Result<> Open(const std::string& title, SDL_Window* parent,
        const std::vector<X11Window::IconImage>& icon, const std::function<bool()>& giveUp);

    // Whether `event` is the box's: input or a window event of its window,
    // or the notice that another client destroyed it.
    bool Owns(const SDL_Event& event) const;
    // Handles an event the box owns: draws it again, or ends it.
    void HandleEvent(const SDL_Event& event);
    // Whether the box has ended, and how: the index of the pressed button,
    // or 0 when it was closed, Escape was pressed or the window went away.
    bool IsDone() const { return fResult >= 0; }
    int Answer() const { return fResult; }

    // Waits on the calling thread, which shows no other window, until the
    // box ends; returns Answer().
    int RunAlone();

private:
    struct Layout;

    void Draw();
    // The button at window pixel (x, y), or -1.
    int ButtonAt(int x, int y) const;

    std::unique_ptr<Layout> fLayout;
    SDL_Window* fWindow = nullptr;
    Uint32 fWindowId = 0;
    unsigned long fX11Id = 0;
    int fPressed = -1;
    int fResult = -1;
};
