#pragma once

// How the process meets X errors. Both do nothing unless libX11 is already
// loaded (SDL's X11 driver loads it); call them with the video lock held.

namespace X11Errors {

// Ignores BadWindow, BadDrawable, and BadGC on freeing, leaving every other
// error to the handler it replaces: SDL's wake-up events and its calls on a
// window that the window manager or another client destroyed fail so (a
// drawing context made for a window already gone was never made, so freeing
// it fails), and Xlib's default handler would end the process. Call it
// before video starts, for SDL to keep and put back when video stops (the
// last wake-ups fail then), and again once video has started if libX11
// wasn't loaded before. False when the handler isn't in place.
bool TolerateLostWakeUps();
// Makes a broken connection to the X server end the process as
// LostDisplay::End() does; once video has started.
void EndOnLostDisplay();

} // namespace X11Errors
