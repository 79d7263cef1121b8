#pragma once

// The signals whose default is to end the process without a core dump. An
// instance blocks them before it starts any thread and takes each as a
// request to quit, so that it ends cleanly, its roster entry removed and its
// sound stopped. Safe from any thread.

#include <signal.h>

sigset_t QuitSignals();

// Whether one of them has come and waits, blocked, for this thread or the
// process.
bool QuitSignalPending();
