#pragma once

// Renders the voices of a take, each in a worker process of its own, and
// mixes them as a sound server does: the sum of their floats, voice by voice
// in order, so the same take always gives the same bits.
//
// Workers render chunk after chunk into memory they share with the parent,
// a few chunks ahead of the mix; a token passed round among them keeps at
// most `parallel` rendering at once. The parent adds up each chunk once
// every voice has it. Voice i of a take sounds the same in every take of its
// own seed (see VoiceSeed), alone or with others.

#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

#include <memory>
#include <vector>

class VoiceMixer {
public:
    static constexpr int64 kChunkFrames = 16384;
    // Chunks each worker may have ready ahead of the mix.
    static constexpr int kSlots = 3;

    // The seed of voice `voice` of a take of `seed`: seed + voice, counting
    // on past 4294967295 to 0, except that 1 is skipped after 0, since the
    // C library's srandom() takes 0 as 1. So every voice of a take differs,
    // and each seed's voices are those of seed + voice wherever those
    // already differed.
    static unsigned VoiceSeed(unsigned seed, int voice);

    // Starts one worker per voice, each to render `frames` frames. The
    // workers close `parentOnly`, descriptors that are the parent's alone.
    // The mixer stops waiting, with B_INTERRUPTED, once `stopFd` is readable.
    static Result<std::unique_ptr<VoiceMixer>> Start(int voices, unsigned seed, int64 frames,
        int parallel, const std::vector<int>& parentOnly, int stopFd);
    // Ends the workers still running.
    ~VoiceMixer();

    VoiceMixer(const VoiceMixer&) = delete;
    VoiceMixer& operator=(const VoiceMixer&) = delete;

    // Mixes the next chunk into `mix` (room for kChunkFrames stereo frames)
    // and returns its length in frames, 0 once all are done. A worker that
    // ends early is an error.
    Result<int64> Next(float* mix);
    // Waits for the workers once every chunk is mixed; an error if one
    // failed.
    Result<> Finish();

private:
    struct Worker {
        pid_t pid = -1;
        int ready = -1; // a byte per chunk it has rendered
        int free = -1;  // a byte per slot the parent is done with
    };

    VoiceMixer(int64 frames, int stopFd);
    Result<> StartWorker(int voice, unsigned seed, const std::vector<int>& parentOnly);
    [[noreturn]] void RunWorker(int voice, unsigned seed, int ready, int free);
    float* Slot(int voice, int64 chunk) const;
    // Takes the byte that says the voice's next chunk is ready; stops when
    // the stop descriptor is readable or a worker fails.
    Result<> Receive(size_t voice);
    // Reaps the workers that have ended; an error if one of them failed.
    Result<> ReapEnded();
    void EndWorkers();

    int64 fFrames;
    int64 fMixed = 0;
    int fStopFd;
    int fChildFd = -1;
    int fTokenRead = -1;
    int fTokenWrite = -1;
    float* fSlots = nullptr;
    size_t fSlotsSize = 0;
    std::vector<Worker> fWorkers;
};
