#include "LostDisplay.h"

#include "FatalExit.h"
#include "Report.h"

#include <unistd.h>

#include <atomic>

namespace {

std::atomic<bool> gEnding { false };

} // namespace

void LostDisplay::End(const std::string& display)
{
    if (gEnding.exchange(true)) {
        // Another thread is ending the process; _exit() takes this one too.
        for (;;)
            pause();
    }
    ReportFailure("keep the window", "lost the connection to " + display);
    FatalExit(kExitStatus);
}
