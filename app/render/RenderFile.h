#pragma once

// The file a take is written to. Its type comes from the name's extension:
// .wav is 32-bit float (RF64 past 4 GiB), .flac 24-bit, .ogg Vorbis. The
// sound goes to a pending file (see PendingFile) that takes the name only
// once complete, so an interrupted or failed take leaves no partial file and
// an older file of that name as it was. Every write, libsndfile's own at
// the end included, is checked before that.
//
// In the integer format the samples beyond full scale are clipped and
// counted; the float formats keep them as they are.

#include "PendingFile.h"
#include "Result.h"
#include "SupportDefs.h"

#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

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
    // Completes the file and gives it its name.
    Result<> Commit();

    // The descriptors the file holds, for processes that must not hold them.
    std::vector<int> Descriptors() const { return fPending->Descriptors(); }
    bool Clips() const { return fClips; }
    int64 ClippedSamples() const { return fClipped; }
    // The largest magnitude of the samples clipped, 0 if none were.
    float ClippedPeak() const { return fClippedPeak; }

private:
    RenderFile(std::string path, std::unique_ptr<PendingFile> pending, bool clips);
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
    bool fClips;
    // The first error of any read, write or seek, 0 if none failed.
    int fWriteError = 0;
    int64 fClipped = 0;
    float fClippedPeak = 0;
};
