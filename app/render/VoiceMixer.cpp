#include "VoiceMixer.h"

#include "OfflineVoice.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

bool ReadByte(int fd)
{
    char byte;
    ssize_t got;
    do
        got = read(fd, &byte, 1);
    while (got < 0 && errno == EINTR);
    return got == 1;
}

bool WriteByte(int fd)
{
    char byte = 0;
    ssize_t put;
    do
        put = write(fd, &byte, 1);
    while (put < 0 && errno == EINTR);
    return put == 1;
}

std::string Describe(int status)
{
    if (WIFSIGNALED(status)) {
        const char* name = sigabbrev_np(WTERMSIG(status));
        return "killed by " + (name != nullptr ? "SIG" + std::string(name) : "a signal");
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

Error VoiceFailed(int voice, int status)
{
    return Error { B_ERROR, "voice " + std::to_string(voice) + " failed (" + Describe(status) + ")" };
}

} // namespace

VoiceMixer::VoiceMixer(int64 frames, int stopFd)
    : fFrames(frames),
      fStopFd(stopFd)
{
}

VoiceMixer::~VoiceMixer()
{
    EndWorkers();
    for (Worker& worker : fWorkers) {
        close(worker.ready);
        close(worker.free);
    }
    if (fChildFd >= 0)
        close(fChildFd);
    if (fSlots != nullptr)
        munmap(fSlots, fSlotsSize);
}

unsigned VoiceMixer::VoiceSeed(unsigned seed, int voice)
{
    auto steps = static_cast<unsigned>(voice);
    // The voices before this one passed 0 if 0 lies fewer than `steps`
    // steps on from `seed`.
    bool passedZero = 0u - seed < steps;
    return seed + steps + (passedZero ? 1 : 0);
}

Result<std::unique_ptr<VoiceMixer>> VoiceMixer::Start(int voices, unsigned seed, int64 frames,
    int parallel, const std::vector<int>& parentOnly, int stopFd)
{
    std::unique_ptr<VoiceMixer> mixer(new VoiceMixer(frames, stopFd));
    mixer->fSlotsSize = static_cast<size_t>(voices) * kSlots * kChunkFrames * 2 * sizeof(float);
    void* slots = mmap(nullptr, mixer->fSlotsSize, PROT_READ | PROT_WRITE,
        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (slots == MAP_FAILED)
        return Error { B_ERROR, strerror(errno) };
    mixer->fSlots = static_cast<float*>(slots);

    // Workers that end are heard of through a descriptor too. Ignored, as
    // it may be when the renderer starts, SIGCHLD would never come, and the
    // workers would be gone before they could be waited for.
    signal(SIGCHLD, SIG_DFL);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, nullptr);
    mixer->fChildFd = signalfd(-1, &child, SFD_NONBLOCK | SFD_CLOEXEC);
    if (mixer->fChildFd < 0)
        return Error { B_ERROR, strerror(errno) };

    int token[2];
    if (pipe(token) != 0)
        return Error { B_ERROR, strerror(errno) };
    mixer->fTokenRead = token[0];
    mixer->fTokenWrite = token[1];
    for (int i = 0; i < parallel; i++)
        WriteByte(mixer->fTokenWrite);

    // Nothing buffered may be written twice, by the parent and a worker.
    fflush(nullptr);
    Result<> started;
    for (int voice = 0; voice < voices && started; voice++)
        started = mixer->StartWorker(voice, VoiceSeed(seed, voice), parentOnly);
    // Only the workers pass the token on.
    close(mixer->fTokenRead);
    close(mixer->fTokenWrite);
    if (!started)
        return started.error();
    return mixer;
}

Result<> VoiceMixer::StartWorker(int voice, unsigned seed, const std::vector<int>& parentOnly)
{
    int ready[2];
    int free[2];
    if (pipe(ready) != 0)
        return Error { B_ERROR, strerror(errno) };
    if (pipe(free) != 0) {
        int error = errno;
        close(ready[0]);
        close(ready[1]);
        return Error { B_ERROR, strerror(error) };
    }
    pid_t pid = fork();
    if (pid == 0) {
        for (const Worker& worker : fWorkers) {
            close(worker.ready);
            close(worker.free);
        }
        for (int fd : parentOnly)
            close(fd);
        close(fChildFd);
        close(ready[0]);
        close(free[1]);
        RunWorker(voice, seed, ready[1], free[0]);
    }
    int error = errno;
    close(ready[1]);
    close(free[0]);
    if (pid < 0) {
        close(ready[0]);
        close(free[1]);
        return Error { B_ERROR, strerror(error) };
    }
    fWorkers.push_back(Worker { pid, ready[0], free[1] });
    return {};
}

void VoiceMixer::RunWorker(int voice, unsigned seed, int ready, int free)
{
    // A worker never outlives the render, however the parent ends.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    // The parent takes its signals through a descriptor and may clean up on
    // some; a worker dies of them as any process does, and ignores those
    // ignored, such as a SIGHUP under nohup.
    for (int number = 1; number <= SIGRTMAX; number++) {
        struct sigaction current;
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            signal(number, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The engine prints its format on its first fill, as an instance does;
    // a voice has nobody to tell.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }

    try {
        OfflineVoice sound(seed);
        for (int64 chunk = 0, done = 0; done < fFrames; chunk++) {
            int64 count = std::min(kChunkFrames, fFrames - done);
            // A slot used before is free again once its chunk is mixed.
            if (chunk >= kSlots && !ReadByte(free))
                _exit(1);
            if (!ReadByte(fTokenRead))
                _exit(1);
            sound.Render(Slot(voice, chunk), count);
            if (!WriteByte(fTokenWrite) || !WriteByte(ready))
                _exit(1);
            done += count;
        }
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "gondavel_wubbix-render: voice %d: out of memory\n", voice);
        _exit(1);
    }
    _exit(0);
}

float* VoiceMixer::Slot(int voice, int64 chunk) const
{
    size_t index = static_cast<size_t>(voice) * kSlots + static_cast<size_t>(chunk % kSlots);
    return fSlots + index * kChunkFrames * 2;
}

Result<> VoiceMixer::Receive(size_t voice)
{
    Worker& worker = fWorkers[voice];
    pollfd fds[3] = { { worker.ready, POLLIN, 0 }, { fStopFd, POLLIN, 0 }, { fChildFd, POLLIN, 0 } };
    for (;;) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Error { B_ERROR, strerror(errno) };
        }
        Result<> received;
        if ((fds[1].revents & POLLIN) != 0)
            return Error { B_INTERRUPTED, "interrupted" };
        if (fds[0].revents != 0) {
            if (ReadByte(worker.ready))
                return {};
            int status = 0;
            waitpid(worker.pid, &status, 0);
            worker.pid = -1;
            received = VoiceFailed(static_cast<int>(voice), status);
        } else if ((fds[2].revents & POLLIN) != 0) {
            // A worker that dies while its turn to render is out takes the
            // turn with it, and the others might wait for it for ever.
            signalfd_siginfo info;
            while (read(fChildFd, &info, sizeof info) == sizeof info) {
            }
            received = ReapEnded();
        }
        if (!received) {
            // A worker killed by the same Ctrl+C as the parent is no failure.
            if (poll(&fds[1], 1, 0) == 1)
                return Error { B_INTERRUPTED, "interrupted" };
            return received;
        }
    }
}

Result<> VoiceMixer::ReapEnded()
{
    for (size_t voice = 0; voice < fWorkers.size(); voice++) {
        Worker& worker = fWorkers[voice];
        int status = 0;
        if (worker.pid <= 0 || waitpid(worker.pid, &status, WNOHANG) != worker.pid)
            continue;
        worker.pid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return VoiceFailed(static_cast<int>(voice), status);
    }
    return {};
}

Result<int64> VoiceMixer::Next(float* mix)
{
    int64 count = std::min(kChunkFrames, fFrames - fMixed);
    if (count <= 0)
        return 0;
    int64 chunk = fMixed / kChunkFrames;
    for (size_t voice = 0; voice < fWorkers.size(); voice++) {
        if (Result<> ready = Receive(voice); !ready)
            return ready.error();
        const float* from = Slot(static_cast<int>(voice), chunk);
        if (voice == 0) {
            std::copy(from, from + 2 * count, mix);
        } else {
            for (int64 i = 0; i < 2 * count; i++)
                mix[i] += from[i];
        }
        // The worker waits for this slot only if it has a chunk left for it.
        if ((chunk + kSlots) * kChunkFrames < fFrames)
            WriteByte(fWorkers[voice].free);
    }
    fMixed += count;
    return count;
}

Result<> VoiceMixer::Finish()
{
    // A worker that hangs on its way out is waited for only until a stop.
    pollfd fds[2] = { { fStopFd, POLLIN, 0 }, { fChildFd, POLLIN, 0 } };
    for (;;) {
        Result<> reaped = ReapEnded();
        if (!reaped)
            return poll(fds, 1, 0) == 1 ? Error { B_INTERRUPTED, "interrupted" } : reaped.error();
        if (std::none_of(fWorkers.begin(), fWorkers.end(),
                [](const Worker& worker) { return worker.pid > 0; }))
            return {};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return Error { B_ERROR, strerror(errno) };
        if ((fds[0].revents & POLLIN) != 0)
            return Error { B_INTERRUPTED, "interrupted" };
        signalfd_siginfo info;
        while (read(fChildFd, &info, sizeof info) == sizeof info) {
        }
    }
}

void VoiceMixer::EndWorkers()
{
    for (Worker& worker : fWorkers) {
        if (worker.pid <= 0)
            continue;
        kill(worker.pid, SIGKILL);
        waitpid(worker.pid, nullptr, 0);
        worker.pid = -1;
    }
}
