#include "OfflineVoice.h"

#include "PictureDraws.h"
#include "VoiceSnapshot.h"

#include <algorithm>
#include <array>

namespace {

// The picture of a window of 20 by 20 units, as every instance has.
constexpr float kPictureRight = 20.0f;
constexpr float kPictureBottom = 20.0f;

} // namespace

OfflineVoice::OfflineVoice(unsigned seed)
{
    // As an instance sets itself up: the seed, the view's first colours,
    // every setting rolled, the character, then the engine, which centres
    // the voice; the first turn after draws the picture.
    fModel.Seed(seed);
    RollColors(fModel.Random());
    fModel.Roll(true, true);
    fModel.RollCharacter();
    fDelayLine.reset(NewDelayLine());
    fSynth.delayLine = fDelayLine.get();
    CentreVoice(fParameters);
    Redraw();
}

OfflineVoice::OfflineVoice(const VoiceSnapshot& snapshot)
{
    fModel.Restore(snapshot.model);
    fDelayLine.reset(NewDelayLine());
    std::copy(snapshot.delayLine.begin(), snapshot.delayLine.end(), fDelayLine.get());
    fSynth.delayLine = fDelayLine.get();
    fSynth.writePos = snapshot.writePos;
    fSynth.phase = snapshot.phase;
    fSynth.rampAccumulator = snapshot.rampAccumulator;
    fUntilPulse = snapshot.framesToPulse;
    // A roll the last pulse asked for is done on the window's next turn,
    // before any more sound.
    if (VoiceModel::Reroll pending = fModel.Pending(); pending.asked)
        fModel.Roll(pending.mains, false);
}

void OfflineVoice::Redraw()
{
    std::array<WordPlace, kPictureWords.size()> places;
    PlaceWords(fModel.Random(), kPictureRight, kPictureBottom, places);
}

void OfflineVoice::Pulse()
{
    bool newColors = false;
    VoiceModel::Reroll reroll = fModel.Pulse([this, &newColors] {
        RollColors(fModel.Random());
        newColors = true;
    });
    if (newColors)
        Redraw();
    if (reroll.asked)
        fModel.Roll(reroll.mains, false);
}

void OfflineVoice::Render(float* out, int64 frames)
{
    while (frames > 0) {
        if (fUntilPulse == 0) {
            Pulse();
            fUntilPulse = kPulseFrames;
        }
        int64 count = std::min<int64>({ frames, fUntilPulse, kEngineBufferFrames });
        Synthesize(fSynth, fParameters, out, static_cast<size_t>(count));
        out += 2 * count;
        frames -= count;
        fUntilPulse -= count;
    }
}
