#pragma once

// Keeps a harmless X error from ending the process.
//
// While a window's thread waits for events, SDL wakes it by sending an X
// event to the window over a second connection. When the wait ends because
// the window manager closed the window, that wake-up may reach the X server
// after the window has been destroyed on the main connection, and fail with
// BadWindow. Xlib's default handler would print it and exit(1), turning a
// clean close into a failure. The handler installed here ignores exactly
// that error and leaves every other one to the handler it replaces.
//
// Call with the video lock held, after SDL's video has started. Does
// nothing unless libX11 is already loaded (SDL's X11 driver loads it).

namespace X11Errors {

void TolerateLostWakeUps();

} // namespace X11Errors
