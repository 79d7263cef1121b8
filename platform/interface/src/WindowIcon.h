#pragma once

// The icon every window of the process shows in task bars and window
// switchers, as BWindow::SetIcon() was given it. Safe from any thread.

#include "X11Window.h"

#include <vector>

// The icon in the sizes windows offer it in (16, 32, 48 and 64 pixels),
// each scaled up without smoothing from the largest image given that
// divides it; sizes no image divides are left out.
std::vector<X11Window::IconImage> WindowIconImages();
