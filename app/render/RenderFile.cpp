#include "RenderFile.h"

#include "OutputPlace.h"
#include "Synth.h"

#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

// The most stereo float frames a WAV file holds, with room for its header.
constexpr int64 kLargestWavFrames = (0xFFFFFFFFLL - 4096) / 8;

// The libsndfile format for a file name, 0 for a name of no known type.
int FormatFor(const std::string& name)
{
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return 0;
    const char* extension = name.c_str() + dot + 1;
    if (strcasecmp(extension, "wav") == 0)
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    if (strcasecmp(extension, "flac") == 0)
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    if (strcasecmp(extension, "ogg") == 0)
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    return 0;
}

} // namespace

RenderFile::RenderFile(std::string path, std::unique_ptr<PendingFile> pending, int format)
    : fPath(std::move(path)),
      fPending(std::move(pending)),
      fFormat(format),
      fClips((format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24),
      fLossy((format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS)
{
}

void SoundLevel::Measure(const float* samples, int64 count)
{
    for (int64 i = 0; i < count; i++) {
        float magnitude = std::fabs(samples[i]);
        peak = std::max(peak, magnitude);
        over += magnitude > 1.0f;
    }
}

RenderFile::~RenderFile()
{
    if (fFile != nullptr)
        sf_close(fFile);
}

Result<std::unique_ptr<RenderFile>> RenderFile::Create(const std::string& path, int64 frames)
{
    size_t slash = path.rfind('/');
    int format = FormatFor(slash == std::string::npos ? path : path.substr(slash + 1));
    if (format == 0) {
        return Error { B_BAD_VALUE,
            "can't tell what type of file '" + path + "' is: end its name in .wav, .flac or .ogg" };
    }
    // Past 4 GiB of samples a WAV file's sizes no longer fit its header.
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && frames > kLargestWavFrames)
        format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;

    Result<OutputPlace> place = OutputPlace::Find(path);
    if (!place)
        return place.error();
    Result<std::unique_ptr<PendingFile>> pending = PendingFile::Create(std::move(*place));
    if (!pending)
        return CantWrite(path, pending.reason());
    std::unique_ptr<RenderFile> file(new RenderFile(path, std::move(*pending), format));
    if (Result<> opened = file->Open(SFM_WRITE); !opened)
        return CantWrite(path, opened.reason());
    return file;
}

Result<> RenderFile::Open(int mode)
{
    if (lseek(fPending->Descriptor(), 0, SEEK_SET) != 0)
        return Error::FromErrno(errno);
    static SF_VIRTUAL_IO io = { FileLength, Seek, Read, WriteBytes, Tell };
    SF_INFO info {};
    if (mode == SFM_WRITE) {
        info.samplerate = kSynthFrameRate;
        info.channels = 2;
        info.format = fFormat;
    }
    fFile = sf_open_virtual(&io, mode, &info, this);
    if (fFile == nullptr)
        return Error { B_ERROR, sf_strerror(nullptr) };
    // The peak chunk carries the time of writing: without it the same take
    // makes the same bytes.
    if (mode == SFM_WRITE)
        sf_command(fFile, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return {};
}

Result<> RenderFile::Write(float* frames, int64 count)
{
    if (fClips) {
        for (int64 i = 0; i < 2 * count; i++)
            frames[i] = std::clamp(frames[i], -1.0f, 1.0f);
    }
    if (sf_writef_float(fFile, frames, count) != count || fWriteError != 0)
        return WriteFailed();
    return {};
}

Result<> RenderFile::Finish()
{
    // libsndfile writes the rest of the file as it closes it, and may say
    // nothing of a write that failed there.
    int closed = sf_close(fFile);
    fFile = nullptr;
    if (closed != 0 || fWriteError != 0)
        return WriteFailed();
    return {};
}

Result<SoundLevel> RenderFile::DecodedLevel(int stopFd)
{
    if (Result<> opened = Open(SFM_READ); !opened)
        return Error { B_ERROR, "couldn't read '" + fPath + "' back: " + opened.reason() };
    SoundLevel level;
    std::vector<float> chunk(2 * 16384);
    sf_count_t got = 0;
    while ((got = sf_readf_float(fFile, chunk.data(), 16384)) > 0) {
        level.Measure(chunk.data(), 2 * got);
        pollfd stop { stopFd, POLLIN, 0 };
        if (poll(&stop, 1, 0) > 0)
            break;
    }
    sf_close(fFile);
    fFile = nullptr;
    pollfd stop { stopFd, POLLIN, 0 };
    if (poll(&stop, 1, 0) > 0)
        return Error { B_INTERRUPTED, "interrupted" };
    if (fWriteError != 0 || got < 0)
        return Error { B_ERROR, "couldn't read '" + fPath + "' back: " + (fWriteError != 0 ? strerror(fWriteError) : "it can't be decoded") };
    return level;
}

Result<> RenderFile::Restart()
{
    Result<> opened = ftruncate(fPending->Descriptor(), 0) == 0
        ? Open(SFM_WRITE)
        : Result<>(Error::FromErrno(errno));
    if (!opened)
        return Error { B_ERROR, "couldn't write '" + fPath + "': " + opened.reason() };
    return {};
}

Result<> RenderFile::Commit()
{
    if (fFile != nullptr) {
        if (Result<> finished = Finish(); !finished)
            return finished;
    }
    if (Result<> committed = fPending->Commit(); !committed)
        return Error { B_ERROR, "couldn't write '" + fPath + "': " + committed.reason() };
    return {};
}

Error RenderFile::WriteFailed() const
{
    std::string why = fWriteError != 0 ? strerror(fWriteError)
        : fFile != nullptr             ? sf_strerror(fFile)
                                       : "the file couldn't be completed";
    return Error { B_ERROR, "couldn't write '" + fPath + "': " + why };
}

int64 RenderFile::FileLength(void* file)
{
    auto* self = static_cast<RenderFile*>(file);
    struct stat status;
    if (fstat(self->fPending->Descriptor(), &status) != 0) {
        self->fWriteError = self->fWriteError != 0 ? self->fWriteError : errno;
        return -1;
    }
    return status.st_size;
}

int64 RenderFile::Seek(int64 offset, int whence, void* file)
{
    auto* self = static_cast<RenderFile*>(file);
    off_t position = lseek(self->fPending->Descriptor(), offset, whence);
    if (position < 0 && self->fWriteError == 0)
        self->fWriteError = errno;
    return position;
}

int64 RenderFile::Read(void* data, int64 count, void* file)
{
    auto* self = static_cast<RenderFile*>(file);
    int64 done = 0;
    while (done < count) {
        ssize_t got = read(self->fPending->Descriptor(), static_cast<char*>(data) + done,
            static_cast<size_t>(count - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && self->fWriteError == 0)
            self->fWriteError = errno;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

int64 RenderFile::WriteBytes(const void* data, int64 count, void* file)
{
    auto* self = static_cast<RenderFile*>(file);
    int64 done = 0;
    while (done < count) {
        ssize_t put = write(self->fPending->Descriptor(), static_cast<const char*>(data) + done,
            static_cast<size_t>(count - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (self->fWriteError == 0)
                self->fWriteError = put < 0 ? errno : ENOSPC;
            break;
        }
        done += put;
    }
    return done;
}

int64 RenderFile::Tell(void* file)
{
    return Seek(0, SEEK_CUR, file);
}
