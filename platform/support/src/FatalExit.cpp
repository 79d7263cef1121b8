#include "FatalExit.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace {

constexpr int kMaxHooks = 4;
std::atomic<void (*)()> gHooks[kMaxHooks];
std::atomic<int> gHookCount { 0 };

} // namespace

void AddFatalExitHook(void (*hook)())
{
    int slot = gHookCount.fetch_add(1);
    if (slot < kMaxHooks)
        gHooks[slot] = hook;
}

void FatalExit(int status)
{
    for (int i = std::min(gHookCount.load(), kMaxHooks); i-- > 0;) {
        if (void (*hook)() = gHooks[i].load())
            hook();
    }
    _exit(status);
}
