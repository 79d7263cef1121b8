#pragma once

// The file a take is written to. Its type comes from the name's extension:
// .wav is 32-bit float (RF64 past 4 GiB), .flac 24-bit, .ogg Vorbis. The
// sound goes to a hidden file beside it, which takes the name only once
// complete, so an interrupted or failed take leaves no partial file and an
// older file of that name as it was. A name that is a link is written
// through.
//
// In the integer format the samples beyond full scale are clipped and
// counted; the float formats keep them as they are.

#include "Result.h"
#include "SupportDefs.h"

#include <memory>
#include <string>

struct sf_private_tag;

class RenderFile {
public:
    // Checks the name and makes the hidden file, for a take of `frames`;
    // B_BAD_VALUE for a name of no known type or a place that can't be
    // written.
    static Result<std::unique_ptr<RenderFile>> Create(const std::string& path, int64 frames);
    // Removes the hidden file unless Commit() gave it the name.
    ~RenderFile();

    RenderFile(const RenderFile&) = delete;
    RenderFile& operator=(const RenderFile&) = delete;

    // Appends `count` interleaved stereo frames, clipping them in place
    // first where the format needs it.
    Result<> Write(float* frames, int64 count);
    // Completes the file and gives it its name.
    Result<> Commit();

    // The descriptor of the file being written, for processes that must not
    // hold it.
    int Descriptor() const { return fDescriptor; }
    bool Clips() const { return fClips; }
    int64 ClippedSamples() const { return fClipped; }
    // The largest magnitude of the samples clipped, 0 if none were.
    float ClippedPeak() const { return fClippedPeak; }

private:
    RenderFile(std::string path, std::string hidden, int descriptor, sf_private_tag* file,
        bool clips);

    std::string fPath;
    std::string fHiddenPath;
    int fDescriptor;
    sf_private_tag* fFile;
    bool fClips;
    bool fCommitted = false;
    int64 fClipped = 0;
    float fClippedPeak = 0;
};
