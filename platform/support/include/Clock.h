#pragma once

// Time: a monotonic microsecond clock and a sleep. Both are safe from any
// thread.

#include "SupportDefs.h"

// Microseconds since an arbitrary fixed point (the system's boot), never
// going backwards.
bigtime_t system_time();

// Sleeps the calling thread for at least `microseconds`; resumes after a
// signal until the whole time has passed. Returns B_OK.
status_t snooze(bigtime_t microseconds);
