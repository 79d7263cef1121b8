#pragma once

// How the application meets the display without knowing how windows are
// made: a process that can show windows (one that links the interface kit)
// provides these before main() runs, and the application, as it starts,
// checks for a display and opens it while it registers. A process without
// windows (the control tool, test probes) provides none and opens nothing.

#include <string>

struct DisplayConnection {
    // Sets what the display libraries read from the environment, then says
    // whether there is a display to open; false with the reason when there
    // is none. Called before any other thread exists.
    bool (*check)(std::string* error);
    // Opens the display for the first window; false with the reason.
    bool (*open)(std::string* error);
};

// Called once, by the interface kit's static initialisation.
void ProvideDisplayConnection(const DisplayConnection& connection);
// What was provided, or nullptr.
const DisplayConnection* ProvidedDisplayConnection();
