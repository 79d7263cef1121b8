#pragma once

// Ending the process at once, for a process that can't go on (its display
// is gone): other threads are running, and neither they nor static
// destructors may run on the way out. What must not outlive the process
// (its roster entry) registers a hook that undoes it.

// Adds `hook`, to be run by FatalExit(). A hook must be safe to run on any
// thread while others run: no locks, no allocation. At most four hooks.
void AddFatalExitHook(void (*hook)());

// Runs the hooks, most recent first, then ends the process with _exit().
[[noreturn]] void FatalExit(int status);
