#include "Voice.h"

#include "AudioSubs.h"
#include "BufferProc.h"
#include "ProgramInfo.h"

#include <algorithm>

namespace {

constexpr media_raw_audio_format kFormat = EngineFormat();
constexpr int64 kBufferFrames = kFormat.buffer_size / (kFormat.channel_count * sizeof(float));

} // namespace

Voice::Voice(unsigned seed)
    : fWindow(BPoint(0, 0), 20, 20, kProgramName)
{
    fWindow.InitSilent(seed);
    // A shown window's first turn after its set-up draws the new view.
    fWindow.TakeTurn(false);
    fPulseFrames = fWindow.PulseRate() * static_cast<int64>(kFormat.frame_rate) / 1000000;
    fUntilPulse = fPulseFrames;
}

void Voice::Render(float* out, int64 frames)
{
    while (frames > 0) {
        if (fUntilPulse == 0) {
            // The pulse and the redraw a colour change asks for, then, on
            // the next turn, the messages the pulse posted.
            fWindow.TakeTurn(true);
            fWindow.TakeTurn(false);
            fUntilPulse = fPulseFrames;
        }
        int64 count = std::min({ frames, fUntilPulse, kBufferFrames });
        BufferProc(fWindow.Engine(), out, static_cast<size_t>(count) * 2 * sizeof(float), kFormat);
        out += 2 * count;
        frames -= count;
        fUntilPulse -= count;
    }
}
