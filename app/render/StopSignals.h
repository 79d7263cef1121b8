#pragma once

// The signals that stop a render: SIGINT, SIGTERM and SIGHUP, each unless
// the renderer was started with it ignored, as nohup ignores SIGHUP and a
// shell SIGINT in a job it starts in the background. They are held back and
// read from a descriptor, so that the render stops between two chunks and
// leaves nothing behind.
//
// Lines for stderr go out through Say(). A reader that takes nothing, such
// as a full pipe or a terminal nobody reads, would hold the write for ever,
// and with the signals held back nothing could stop it. So a stop signal
// that comes while Say() waits ends the write, sends stderr to /dev/null
// from then on, and is still read from the descriptor. The main thread only.

#include "Result.h"

#include <signal.h>

#include <memory>
#include <string>

class StopSignals {
public:
    // Starts holding the signals back; the reason if it can't.
    static Result<std::unique_ptr<StopSignals>> Watch();
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal has come.
    int Descriptor() const { return fDescriptor; }
    // The signal that came, once Descriptor() is readable.
    int Received() const;
    // Writes `text` to stderr, unless a stop signal comes first.
    void Say(const std::string& text) const;

private:
    StopSignals(const sigset_t& signals, int descriptor);

    sigset_t fSignals;
    int fDescriptor;
};
