#include "VoiceMixer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

VoiceMixer::VoiceMixer(std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, int stopFd)
    : fFrames(frames),
      fChunks((frames + kChunkFrames - 1) / kChunkFrames),
      fStopFd(stopFd)
{
    for (auto& voice : voices)
        fTracks.push_back(Track { std::move(voice) });
    fSlots.resize(fTracks.size() * kSlots * kChunkFrames * 2);
}

VoiceMixer::~VoiceMixer()
{
    {
        std::lock_guard lock(fLock);
        fQuitting = true;
    }
    fChanged.notify_all();
    for (std::thread& thread : fThreads)
        thread.join();
    if (fProgressFd >= 0)
        close(fProgressFd);
}

unsigned VoiceMixer::VoiceSeed(unsigned seed, int voice)
{
    auto steps = static_cast<unsigned>(voice);
    // The voices before this one passed 0 if 0 lies fewer than `steps`
    // steps on from `seed`.
    bool passedZero = 0u - seed < steps;
    return seed + steps + (passedZero ? 1 : 0);
}

Result<std::unique_ptr<VoiceMixer>> VoiceMixer::Start(
    std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, int threads, int stopFd)
{
    std::unique_ptr<VoiceMixer> mixer(new VoiceMixer(std::move(voices), frames, stopFd));
    mixer->fProgressFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mixer->fProgressFd < 0)
        return Error::FromErrno(errno);
    threads = std::clamp(threads, 1, std::max(1, static_cast<int>(mixer->fTracks.size())));
    mixer->fThreadCount = static_cast<size_t>(threads);
    try {
        for (size_t i = 0; i < mixer->fThreadCount; i++)
            mixer->fThreads.emplace_back(&VoiceMixer::Play, mixer.get(), i);
    } catch (const std::system_error& error) {
        // The threads started so far are stopped with the mixer.
        return Error { B_ERROR, error.code().message() };
    }
    return mixer;
}

int64 VoiceMixer::ChunkLength(int64 chunk) const
{
    return std::min(kChunkFrames, fFrames - chunk * kChunkFrames);
}

float* VoiceMixer::Slot(size_t track, int64 chunk)
{
    size_t index = track * kSlots + static_cast<size_t>(chunk % kSlots);
    return fSlots.data() + index * kChunkFrames * 2;
}

int VoiceMixer::NextTrack(size_t thread) const
{
    // Each thread keeps to its own voices, whose delay lines stay in its
    // processor's cache, and takes the one furthest behind.
    int best = -1;
    for (size_t i = thread; i < fTracks.size(); i += fThreadCount) {
        const Track& track = fTracks[i];
        if (track.rendered >= fChunks || track.rendered >= fMixed + kSlots)
            continue;
        if (best < 0 || track.rendered < fTracks[static_cast<size_t>(best)].rendered)
            best = static_cast<int>(i);
    }
    return best;
}

void VoiceMixer::Play(size_t thread)
{
    std::unique_lock lock(fLock);
    for (;;) {
        int index = -1;
        fChanged.wait(lock, [&] { return fQuitting || (index = NextTrack(thread)) >= 0; });
        if (fQuitting)
            return;
        Track& track = fTracks[static_cast<size_t>(index)];
        int64 chunk = track.rendered;
        lock.unlock();

        // The slot is the voice's own until the mix has passed it.
        track.voice->Render(Slot(static_cast<size_t>(index), chunk), ChunkLength(chunk));

        lock.lock();
        track.rendered++;
        fChanged.notify_all();
        uint64 one = 1;
        // The counter only ever needs to be non-zero, so a full one is fine.
        [[maybe_unused]] ssize_t written = write(fProgressFd, &one, sizeof one);
    }
}

Result<> VoiceMixer::AwaitChunk(int64 chunk)
{
    pollfd fds[2] = { { fProgressFd, POLLIN, 0 }, { fStopFd, POLLIN, 0 } };
    for (;;) {
        {
            std::lock_guard lock(fLock);
            if (std::all_of(fTracks.begin(), fTracks.end(),
                    [chunk](const Track& track) { return track.rendered > chunk; }))
                return {};
        }
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Error::FromErrno(errno);
        }
        if ((fds[1].revents & POLLIN) != 0)
            return Error { B_INTERRUPTED, "interrupted" };
        uint64 count;
        [[maybe_unused]] ssize_t got = read(fProgressFd, &count, sizeof count);
    }
}

Result<int64> VoiceMixer::Next(float* mix)
{
    int64 chunk = fMixed;
    if (chunk >= fChunks)
        return 0;
    if (Result<> ready = AwaitChunk(chunk); !ready)
        return ready.error();
    int64 count = ChunkLength(chunk);
    for (size_t track = 0; track < fTracks.size(); track++) {
        const float* from = Slot(track, chunk);
        if (track == 0) {
            std::copy(from, from + 2 * count, mix);
        } else {
            for (int64 i = 0; i < 2 * count; i++)
                mix[i] += from[i];
        }
    }
    {
        std::lock_guard lock(fLock);
        fMixed++;
    }
    fChanged.notify_all();
    return count;
}
