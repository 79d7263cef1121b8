#include "StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace {

constexpr int kStops[] = { SIGINT, SIGTERM, SIGHUP };

// The stop signal that cut the line being said short, 0 if none did.
volatile sig_atomic_t gCutShort = 0;

void CutShort(int signal)
{
    gCutShort = signal;
    // The rest of the line, and every line after it, goes nowhere, so no
    // write can wait any more, even one this signal came just before.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDERR_FILENO);
        close(null);
    }
}

// Writes as much of `text` to stderr as it takes without waiting.
void WriteAtOnce(const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        pollfd stderrReady { STDERR_FILENO, POLLOUT, 0 };
        if (poll(&stderrReady, 1, 0) != 1 || (stderrReady.revents & POLLOUT) == 0)
            return;
        ssize_t put = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (put <= 0)
            return;
        done += static_cast<size_t>(put);
    }
}

} // namespace

StopSignals::StopSignals(const sigset_t& signals, int descriptor)
    : fSignals(signals),
      fDescriptor(descriptor)
{
}

StopSignals::~StopSignals()
{
    close(fDescriptor);
}

Result<std::unique_ptr<StopSignals>> StopSignals::Watch()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : kStops) {
        struct sigaction current;
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaddset(&signals, number);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int descriptor = signalfd(-1, &signals, SFD_CLOEXEC);
    if (descriptor < 0)
        return Error::FromErrno(errno);
    return std::unique_ptr<StopSignals>(new StopSignals(signals, descriptor));
}

int StopSignals::Received() const
{
    signalfd_siginfo info {};
    if (read(fDescriptor, &info, sizeof info) != sizeof info)
        return SIGINT;
    return static_cast<int>(info.ssi_signo);
}

void StopSignals::Say(const std::string& text) const
{
    // Once a stop has come, as when the render ends on Ctrl+C and clears
    // its progress line, the line goes out only if it can at once.
    sigset_t pending;
    sigpending(&pending);
    for (int number : kStops) {
        if (sigismember(&fSignals, number) == 1 && sigismember(&pending, number) == 1) {
            WriteAtOnce(text);
            return;
        }
    }
    // While the line is written, the signals interrupt it (no SA_RESTART)
    // instead of waiting for the descriptor to be read.
    struct sigaction cut {};
    cut.sa_handler = CutShort;
    sigfillset(&cut.sa_mask);
    struct sigaction previous[std::size(kStops)];
    for (size_t i = 0; i < std::size(kStops); i++) {
        if (sigismember(&fSignals, kStops[i]) == 1)
            sigaction(kStops[i], &cut, &previous[i]);
    }
    gCutShort = 0;
    sigprocmask(SIG_UNBLOCK, &fSignals, nullptr);
    for (size_t done = 0; done < text.size() && gCutShort == 0;) {
        ssize_t put = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<size_t>(put);
    }
    sigprocmask(SIG_BLOCK, &fSignals, nullptr);
    for (size_t i = 0; i < std::size(kStops); i++) {
        if (sigismember(&fSignals, kStops[i]) == 1)
            sigaction(kStops[i], &previous[i], nullptr);
    }
    // Held back again, the signal waits on the descriptor like any other.
    if (gCutShort != 0)
        raise(gCutShort);
}
