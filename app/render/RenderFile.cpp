#include "RenderFile.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr int kFrameRate = 44100;
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

Error CantWrite(const std::string& path, const std::string& why)
{
    return Error { B_BAD_VALUE, "can't write '" + path + "': " + why };
}

} // namespace

RenderFile::RenderFile(std::string path, std::string hidden, int descriptor, SNDFILE* file,
    bool clips)
    : fPath(std::move(path)),
      fHiddenPath(std::move(hidden)),
      fDescriptor(descriptor),
      fFile(file),
      fClips(clips)
{
}

RenderFile::~RenderFile()
{
    if (fCommitted)
        return;
    sf_close(fFile);
    close(fDescriptor);
    unlink(fHiddenPath.c_str());
}

Result<std::unique_ptr<RenderFile>> RenderFile::Create(const std::string& path, int64 frames)
{
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    int format = FormatFor(name);
    if (format == 0) {
        return Error { B_BAD_VALUE,
            "can't tell what type of file '" + path + "' is: end its name in .wav, .flac or .ogg" };
    }
    // Past 4 GiB of samples a WAV file's sizes no longer fit its header.
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && frames > kLargestWavFrames)
        format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;

    // The hidden file will take the name by renaming, which would replace
    // what a plain write would refuse to, and a link instead of its target.
    std::string target = path;
    mode_t mode;
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode))
            return CantWrite(path, "not a regular file");
        if (access(path.c_str(), W_OK) != 0)
            return CantWrite(path, strerror(errno));
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            target = resolved;
            free(resolved);
        }
        mode = existing.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : target.substr(0, slash);
    std::string hidden = directory + "/." + target.substr(slash + 1) + ".XXXXXX";
    int descriptor = mkstemp(hidden.data());
    if (descriptor < 0)
        return CantWrite(path, strerror(errno));
    // Made for the owner alone, as mkstemp does; the finished file gets the
    // permissions of the one it replaces, or those of a new file.
    fchmod(descriptor, mode);

    SF_INFO info {};
    info.samplerate = kFrameRate;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open_fd(descriptor, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        std::string why = sf_strerror(nullptr);
        close(descriptor);
        unlink(hidden.c_str());
        return CantWrite(path, why);
    }
    // The peak chunk carries the time of writing: without it the same take
    // makes the same bytes.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    bool clips = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24;
    return std::unique_ptr<RenderFile>(new RenderFile(target, hidden, descriptor, file, clips));
}

Result<> RenderFile::Write(float* frames, int64 count)
{
    if (fClips) {
        for (int64 i = 0; i < 2 * count; i++) {
            float magnitude = std::fabs(frames[i]);
            if (magnitude > 1.0f) {
                fClipped++;
                fClippedPeak = std::fmax(fClippedPeak, magnitude);
                frames[i] = std::copysign(1.0f, frames[i]);
            }
        }
    }
    if (sf_writef_float(fFile, frames, count) != count)
        return CantWrite(fPath, sf_strerror(fFile));
    return {};
}

Result<> RenderFile::Commit()
{
    int closed = sf_close(fFile);
    fFile = nullptr;
    if (closed != 0)
        return CantWrite(fPath, sf_error_number(closed));
    if (close(fDescriptor) != 0) {
        fDescriptor = -1;
        return CantWrite(fPath, strerror(errno));
    }
    fDescriptor = -1;
    if (rename(fHiddenPath.c_str(), fPath.c_str()) != 0)
        return CantWrite(fPath, strerror(errno));
    fCommitted = true;
    return {};
}
