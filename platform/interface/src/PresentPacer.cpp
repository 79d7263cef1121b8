#include "PresentPacer.h"

bigtime_t PresentPacer::Due() const
{
    if (!fWaiting)
        return -1;
    if (!fCalm || !fShownOnce)
        return 0;
    return fLastShown + kCalmInterval;
}

bool PresentPacer::TakeDue(bigtime_t now)
{
    bigtime_t due = Due();
    if (due < 0 || now < due)
        return false;
    fWaiting = false;
    fShownOnce = true;
    fLastShown = now;
    return true;
}
