#pragma once

// AlertBox: the window BAlert shows.
// It is an ordinary window of the calling thread's video connection, made
// and run on that thread: no other process or thread is involved, so the
// box holds nothing of the instance and goes away with it. It is transient
// for `parent` when there is one, so that window managers keep it above
// that window, and placed over it.

#include "X11Window.h"

#include <SDL.h>

#include <functional>
#include <string>
#include <vector>

class AlertBox {
public:
    // Shows a box titled `title` with `text` and one button per label, the last being the default
    // (Return), and waits until one is pressed: returns its index, 0 when
    // the box is closed or Escape is pressed. Every quarter of a second,
    // and whenever the calling thread is woken, `giveUp` is asked whether
    // to stop waiting; then the result is 0 too. Returns -1, having shown
    // nothing, when the box can't be made. Call with video acquired by the
    // calling thread.
    static int Run(const std::string& title, const std::string& text,
        const std::vector<std::string>& buttons, SDL_Window* parent,
        const std::vector<X11Window::IconImage>& icon, const std::function<bool()>& giveUp);
};
