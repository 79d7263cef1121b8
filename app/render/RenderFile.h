#pragma once

// The file a take is written to. Its type comes from the name's extension:
// .wav is 32-bit float (RF64 past 4 GiB), .flac 24-bit, .ogg Vorbis. The
// sound goes to a pending file (see PendingFile) that takes the name only
// once complete, so an interrupted or failed take leaves no partial file and
// an older file of that name as it was. Every write, libsndfile's own at
// the end included, is checked before that.
//
// In the integer format the samples beyond full scale are clipped; the
// float formats keep them as they are. A lossy file can be decoded again
// before it is committed, to learn its level as a player will hear it, and
// written anew.

#include "PendingFile.h"
#include "Result.h"
#include "SupportDefs.h"

#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

// The loudest sample of some sound and how many samples are past full scale.
struct SoundLevel {
    float peak = 0;
    int64 over = 0;

    // Takes `count` more samples into account.
    void Measure(const float* samples, int64 count);
};

class RenderFile {
public:
    // Finds the place for `path` and makes the pending file there, for a
    // take of `frames`; B_BAD_VALUE, with the reason, for a name of no known
    // type or a place the take can't be written to.
    static Result<std::unique_ptr<RenderFile>> Create(const std::string& path, int64 frames);
    ~RenderFile();

    RenderFile(const RenderFile&) = delete;
    RenderFile& operator=(const RenderFile&) = delete;

    // Appends `count` interleaved stereo frames, clipping them in place
    // first where the format needs it.
    Result<> Write(float* frames, int64 count);
    // Completes the file's content; nothing can be written after it.
    Result<> Finish();
    // The level of the finished file decoded again; B_INTERRUPTED once
    // `stopFd` is readable.
    Result<SoundLevel> DecodedLevel(int stopFd);
    // Empties the finished file to be written anew.
    Result<> Restart();
    // Finishes the file if need be, and gives it its name.
    Result<> Commit();

    // The descriptors the file holds, for processes that must not hold them.
    std::vector<int> Descriptors() const { return fPending->Descriptors(); }
    // Whether the format clips samples beyond full scale.
    bool Clips() const { return fClips; }
    // Whether the format is lossy, so that its decoded level differs.
    bool Lossy() const { return fLossy; }

private:
    RenderFile(std::string path, std::unique_ptr<PendingFile> pending, int format);
    // Opens the pending file through libsndfile from its start, for `mode`.
    Result<> Open(int mode);
    Error WriteFailed() const;

    // libsndfile's way to the descriptor: each failure is kept in fWriteError.
    static int64 FileLength(void* file);
    static int64 Seek(int64 offset, int whence, void* file);
    static int64 Read(void* data, int64 count, void* file);
    static int64 WriteBytes(const void* data, int64 count, void* file);
    static int64 Tell(void* file);

    std::string fPath;
    std::unique_ptr<PendingFile> fPending;
    sf_private_tag* fFile = nullptr;
    int fFormat;
    bool fClips;
    bool fLossy;
    // The first error of any read, write or seek, 0 if none failed.
    int fWriteError = 0;
};
