#pragma once

// How the process meets X errors.
//
// TolerateLostWakeUps() keeps errors about windows that are gone from
// ending the process. While a window's thread waits for events, SDL wakes it
// by sending an X event to the window over a second connection. When the
// wait ends because the window manager closed the window, that wake-up may
// reach the X server after the window has been destroyed on the main
// connection, and fail with BadWindow. A window destroyed by another client
// (xdotool windowclose, say) makes SDL's next calls on it fail the same way,
// before the window's thread learns of it and closes. Xlib's default handler
// would print the error and exit(1), turning a clean close into a failure.
// The handler installed here ignores BadWindow and BadDrawable and leaves
// every other error to the handler it replaces. The
// errors of the last wake-ups arrive while SDL's video stops, after SDL has
// put back the handler it found when video started. So call it before video
// starts, for SDL to keep and put back; where that finds no libX11 yet, call
// it again once video has started.
//
// EndOnLostDisplay() makes a broken connection to the X server (the server
// ended, or the connection was cut) end the process as LostDisplay::End()
// does, naming "display <name>".
//
// Call both with the video lock held, EndOnLostDisplay() once SDL's video
// has started. They do nothing unless libX11 is already loaded (SDL's X11
// driver loads it, where the program isn't linked with it).

namespace X11Errors {

// Whether the handler is in place: false when libX11 is not loaded.
bool TolerateLostWakeUps();
void EndOnLostDisplay();

} // namespace X11Errors
