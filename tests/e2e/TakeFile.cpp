#include "TakeFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

TakeFile TakeFile::Read(const std::string& path)
{
    TakeFile take;
    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return take;
    take.channels = info.channels;
    take.floatSamples = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT;
    take.samples.resize(static_cast<size_t>(info.frames * info.channels));
    take.frames = sf_readf_float(file, take.samples.data(), info.frames);
    sf_close(file);
    return take;
}

float TakeFile::Peak() const
{
    float peak = 0.0f;
    for (float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    return peak;
}
