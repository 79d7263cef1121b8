#pragma once

// Plays the voices of a take on worker threads and mixes them as a sound
// server does: the sum of their floats, voice by voice in order, so the same
// take always gives the same bits.
//
// Each voice renders chunk after chunk into slots of its own, a few chunks
// ahead of the mix, always on the same one of the `threads` threads. The mixer adds up each chunk once every voice has
// it.

#include "OfflineVoice.h"
#include "Result.h"
#include "SupportDefs.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class VoiceMixer {
public:
    static constexpr int64 kChunkFrames = 16384;
    // Chunks each voice may have ready ahead of the mix.
    static constexpr int kSlots = 3;

    // The seed of voice `voice` of a take of `seed`: seed + voice, counting
    // on past 4294967295 to 0, except that 1 is skipped after 0, since the
    // C library's srandom() takes 0 as 1. So every voice of a take differs,
    // and each seed's voices are those of seed + voice wherever those
    // already differed.
    static unsigned VoiceSeed(unsigned seed, int voice);

    // Starts playing `voices` on `threads` threads, `frames` frames of each.
    // The mixer stops waiting, with B_INTERRUPTED, once `stopFd` is readable.
    static Result<std::unique_ptr<VoiceMixer>> Start(
        std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, int threads, int stopFd);
    // Stops the threads.
    ~VoiceMixer();

    VoiceMixer(const VoiceMixer&) = delete;
    VoiceMixer& operator=(const VoiceMixer&) = delete;

    // Mixes the next chunk into `mix` (room for kChunkFrames stereo frames)
    // and returns its length in frames, 0 once all are done.
    Result<int64> Next(float* mix);

private:
    struct Track {
        std::unique_ptr<OfflineVoice> voice;
        int64 rendered = 0; // chunks ready
    };

    VoiceMixer(std::vector<std::unique_ptr<OfflineVoice>> voices, int64 frames, int stopFd);
    void Play(size_t thread);
    // A voice of `thread` whose next chunk may be rendered now, or -1; with
    // fLock held.
    int NextTrack(size_t thread) const;
    int64 ChunkLength(int64 chunk) const;
    float* Slot(size_t track, int64 chunk);
    // Waits until every voice has chunk `chunk`; B_INTERRUPTED on a stop.
    Result<> AwaitChunk(int64 chunk);

    int64 fFrames;
    int64 fChunks;
    int fStopFd;
    int fProgressFd = -1; // an event counter the threads bump after each chunk
    std::vector<float> fSlots;
    std::vector<Track> fTracks;
    std::vector<std::thread> fThreads;
    size_t fThreadCount = 1;

    std::mutex fLock;
    std::condition_variable fChanged;
    int64 fMixed = 0; // chunks mixed
    bool fQuitting = false;
};
