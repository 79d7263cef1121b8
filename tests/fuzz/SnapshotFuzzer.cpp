// Feeds voice snapshots to VoiceSnapshot::Decode(): a valid snapshot with
// the input written over it from a place the input's first bytes choose, so
// that most inputs have the right size and reach the checks of the fields.
// An accepted snapshot must encode back to the same bytes and play a
// fifth of a second, two pulses, without fault.

#include "OfflineVoice.h"
#include "VoiceSnapshot.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8> ValidSnapshot()
{
    VoiceSnapshot snapshot;
    ParameterBlock block;
    VoiceModel model(block);
    model.Seed(7);
    model.Roll(true, true);
    model.RollCharacter();
    snapshot.model = model.Save();
    snapshot.framesToPulse = 100;
    return snapshot.Encode();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8> valid = ValidSnapshot();
    std::vector<uint8> input = valid;
    if (size >= 4) {
        uint32 at;
        memcpy(&at, data, sizeof at);
        at %= valid.size();
        size_t count = std::min(size - 4, valid.size() - at);
        memcpy(input.data() + at, data + 4, count);
        // Inputs that run past the end change the size as well.
        if (size - 4 > count)
            input.insert(input.end(), data + 4 + count, data + size);
    }

    Result<VoiceSnapshot> snapshot = VoiceSnapshot::Decode(input.data(), input.size());
    if (!snapshot)
        return 0;
    if (snapshot->Encode() != input)
        abort();
    OfflineVoice voice(*snapshot);
    std::vector<float> frames(2 * 8820);
    voice.Render(frames.data(), 8820);
    return 0;
}
