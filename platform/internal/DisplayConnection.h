#pragma once

// How the application meets the display without knowing how windows are
// made: a process that can show windows (one that links the interface kit)
// provides these before main() runs, and the application, as it starts,
// checks for a display and opens it while it registers. A process without
// windows (the control tool, test probes) provides none and opens nothing.

#include "Result.h"

struct DisplayConnection {
    // Sets what the display libraries read from the environment, then says
    // whether there is a display to open; fails with the reason when there
    // is none. Called before any other thread exists.
    Result<> (*check)();
    // Opens the display for the first window.
    Result<> (*open)();
};

// Called once, by the interface kit's static initialisation.
void ProvideDisplayConnection(const DisplayConnection& connection);
// What was provided, or nullptr.
const DisplayConnection* ProvidedDisplayConnection();
