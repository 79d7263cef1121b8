#include "RegistryStartLock.h"

#include "QuitSignals.h"
#include "RegistryDirectory.h"
#include "Report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Each holder registers and counts in a few milliseconds; one that changes
// nothing in the directory for this long has stopped.
constexpr auto kPatience = std::chrono::seconds(2);
constexpr auto kLongestWait = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// The descriptor holding the lock, or -1.
std::atomic<int> gHeldFd { -1 };
std::atomic<bool> gSaidSo { false };

void SayOnce(const std::string& why)
{
    if (!gSaidSo.exchange(true))
        ReportFailure("take its turn to register", why);
}

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

Result<> RegistryStartLock::Take(const RegistryDirectory& directory)
{
    Release();
    // A descriptor of its own: the lock belongs to the open file, and the
    // directory's descriptor lives on after the lock is given up.
    int fd = openat(directory.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SayOnce(directory.Path() + ": " + strerror(errno));
        return {};
    }
    Clock::time_point start = Clock::now();
    Clock::time_point patientUntil = start + kPatience;
    struct stat seen = {};
    fstat(fd, &seen);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            gHeldFd = fd;
            return {};
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            SayOnce(directory.Path() + ": " + strerror(errno));
            break;
        }
        // Asked to quit while it waits, the instance ends at once, as it
        // does while its display opens: it has registered nothing yet.
        if (QuitSignalPending()) {
            close(fd);
            return Error { B_INTERRUPTED, "asked to quit while waiting its turn to register" };
        }
        Clock::time_point now = Clock::now();
        struct stat info;
        if (fstat(fd, &info) == 0
            && (!SameTime(info.st_mtim, seen.st_mtim) || !SameTime(info.st_ctim, seen.st_ctim))) {
            seen = info;
            patientUntil = now + kPatience;
        }
        if (now >= patientUntil || now - start >= kLongestWait) {
            auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - start);
            SayOnce("another process has held " + directory.Path() + " for "
                + std::to_string(waited.count()) + " s; registering anyway");
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    close(fd);
    return {};
}

void RegistryStartLock::Release()
{
    int fd = gHeldFd.exchange(-1);
    if (fd < 0)
        return;
    // Unlocked explicitly: a copy of the descriptor in a forked child would
    // otherwise keep the lock.
    flock(fd, LOCK_UN);
    close(fd);
}

bool RegistryStartLock::Held()
{
    return gHeldFd >= 0;
}
