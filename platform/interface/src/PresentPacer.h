#pragma once

// PresentPacer: when a window's newly drawn picture goes on screen. At once,
// normally; when the user asked for reduced animation, at most three times a
// second: a picture drawn sooner than a third of a second after the last one
// shown waits, and whatever was drawn last is shown when the wait ends. Only
// the showing waits: views draw as often as ever. A plain value of the
// window's thread; times are system_time().

#include "SupportDefs.h"

class PresentPacer {
public:
    // The least time from one picture shown to the next when calm, rounded
    // up so that no four fit in a second.
    static constexpr bigtime_t kCalmInterval = 333334;

    void SetCalm(bool calm) { fCalm = calm; }
    bool IsCalm() const { return fCalm; }

    // A new picture is drawn and waits to be shown.
    void Drawn() { fWaiting = true; }
    // When the waiting picture may be shown: 0 for at once, -1 when none
    // waits.
    bigtime_t Due() const;
    // Whether the waiting picture is to be shown at `now`; if so, it counts
    // as shown then.
    bool TakeDue(bigtime_t now);

private:
    bool fCalm = false;
    bool fWaiting = false;
    bool fShownOnce = false;
    bigtime_t fLastShown = 0;
};
