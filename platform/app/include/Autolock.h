#pragma once

// BAutolock: holds a looper's lock for as long as it lives, and lets go of
// it however the scope ends.

#include "Looper.h"

class BAutolock {
public:
    explicit BAutolock(BLooper* looper)
        : fLooper(looper),
          fLocked(looper != nullptr && looper->Lock())
    {
    }
    ~BAutolock()
    {
        if (fLocked)
            fLooper->Unlock();
    }

    BAutolock(const BAutolock&) = delete;
    BAutolock& operator=(const BAutolock&) = delete;

    bool IsLocked() const { return fLocked; }

private:
    BLooper* fLooper;
    bool fLocked;
};
