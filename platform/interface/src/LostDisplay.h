#pragma once

// What happens when the process's connection to its display breaks (the X
// server or Wayland compositor ended, or the connection was cut): the
// process can't draw or hear from its window again, so it ends at once. It
// prints one line, "<program>: couldn't keep the window: lost the
// connection to <display>", and ends with FatalExit(kExitStatus), which
// removes its roster entry so nobody sends it messages any more; neither
// other threads nor static destructors get to touch the dead connection on
// the way out. When several threads lose the connection at once, the first
// one ends the process and the others wait for that. Safe from any thread.

#include <string>

namespace LostDisplay {

// The exit status of a process that lost its display.
inline constexpr int kExitStatus = 1;

// `display` names the display as the user knows it: "display :0",
// "Wayland display wayland-0".
[[noreturn]] void End(const std::string& display);

} // namespace LostDisplay
