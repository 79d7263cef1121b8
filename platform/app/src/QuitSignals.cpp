#include "QuitSignals.h"

#include <initializer_list>

sigset_t QuitSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : { SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
             SIGIO, SIGPWR, SIGSTKFLT })
        sigaddset(&signals, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; signal++)
        sigaddset(&signals, signal);
    return signals;
}

bool QuitSignalPending()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    // Signal by signal: the sigisemptyset() of glibc 2.36 misses those above 32.
    sigset_t quit = QuitSignals();
    for (int signal = 1; signal < NSIG; signal++) {
        if (sigismember(&quit, signal) == 1 && sigismember(&pending, signal) == 1)
            return true;
    }
    return false;
}
