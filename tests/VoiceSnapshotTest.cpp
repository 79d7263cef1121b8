// A voice's snapshot, taken from an instance's window as it answers a tool,
// against what the instance itself plays next: the window is never shown
// and run by hand, a turn at each pulse as a shown one takes them, and its
// silent engine is filled by BufferProc as the sound player fills it.

#include "AudioSubs.h"
#include "BufferProc.h"
#include "OfflineVoice.h"
#include "VoiceSnapshot.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int64 kPulseFrames = 4410;

// An instance started with `seed`, played by hand.
class HandPlayed {
public:
    explicit HandPlayed(unsigned seed) : fWindow(BPoint(0, 0), 20, 20, "by hand")
    {
        fWindow.InitSilent(seed);
        fWindow.TakeTurn(false);
    }

    std::vector<float> Play(int64 frames)
    {
        std::vector<float> out(2 * frames);
        for (int64 done = 0; done < frames;) {
            if (fUntilPulse == 0) {
                fWindow.TakeTurn(true);
                fWindow.TakeTurn(false);
                fUntilPulse = kPulseFrames;
            }
            int64 count = std::min({ frames - done, fUntilPulse, int64(1024) });
            BufferProc(fWindow.Engine(), out.data() + 2 * done, count * 2 * sizeof(float),
                EngineFormat());
            done += count;
            fUntilPulse -= count;
        }
        return out;
    }

    gondavel_wubbixWindow& Window() { return fWindow; }
    int64 UntilPulse() const { return fUntilPulse; }

private:
    gondavel_wubbixWindow fWindow;
    int64 fUntilPulse = kPulseFrames;
};

} // namespace

TEST(VoiceSnapshot, AnOfflineVoiceFromASnapshotPlaysOnFrameForFrameAsTheInstance)
{
    // Seed 1 gives a sine, seed 3 a ramp; 4.5 s hold rolls, pitch steps and
    // a turn of the restlessness.
    for (unsigned seed : { 1u, 3u }) {
        HandPlayed instance(seed);
        instance.Play(3 * kPulseFrames + 1000);
        Result<VoiceSnapshot> taken = instance.Window().TakeSnapshot();
        ASSERT_TRUE(taken) << taken.reason();
        EXPECT_EQ(taken->model.parameters.waveform, seed == 1 ? WAVE_SINE : WAVE_RAMP);
        // Not shown, the window has no pulse scheduled: the frames to it
        // are put in by hand.
        taken->framesToPulse = instance.UntilPulse();
        EXPECT_EQ(taken->framesToPulse, 3410);

        std::vector<uint8> bytes = taken->Encode();
        EXPECT_EQ(bytes.size(), 88414u);
        Result<VoiceSnapshot> decoded = VoiceSnapshot::Decode(bytes.data(), bytes.size());
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(*decoded == *taken);

        OfflineVoice offline(*decoded);
        std::vector<float> expected = instance.Play(200000);
        std::vector<float> played(expected.size());
        offline.Render(played.data(), 200000);
        size_t differ = 0;
        for (size_t i = 0; i < played.size(); i++)
            differ += memcmp(&played[i], &expected[i], sizeof(float)) != 0;
        EXPECT_EQ(differ, 0u) << "seed " << seed;
    }
}

TEST(VoiceSnapshot, DecodeRefusesWhatNoVoiceHas)
{
    HandPlayed instance(5);
    instance.Play(1000);
    Result<VoiceSnapshot> taken = instance.Window().TakeSnapshot();
    ASSERT_TRUE(taken);
    const std::vector<uint8> good = taken->Encode();
    ASSERT_TRUE(VoiceSnapshot::Decode(good.data(), good.size()));

    auto withFloat = [&](size_t at, float value) {
        std::vector<uint8> bytes = good;
        memcpy(&bytes[at], &value, sizeof value);
        return bytes;
    };
    auto withInt = [&](size_t at, int64 value, size_t size) {
        std::vector<uint8> bytes = good;
        memcpy(&bytes[at], &value, size);
        return bytes;
    };
    // Offsets: magic 0, version 4, delay length 8, waveform 12, frequency
    // 16, feedback 20, ..., direction 68, generator 72 ... 197, pending 198,
    // write position 200, phase 204, accumulator 208, pulse 210, delay line
    // 218.
    const std::vector<std::vector<uint8>> bad = { std::vector<uint8>(good.begin(), good.end() - 1),
        withInt(0, 'X', 1), withInt(4, 2, 4), withInt(8, 22050, 4), withInt(12, 2, 4),
        withFloat(16, -1.0f), withFloat(20, 1.5f), withFloat(24, NAN), withInt(68, 0, 4),
        withInt(196, 5, 1), withInt(198, 2, 1), withInt(198, 0x0100, 2), withInt(200, 22049, 4),
        withFloat(204, INFINITY), withInt(210, 4411, 8), withInt(210, -1, 8),
        withFloat(218 + 4 * 100, 32768.5f) };
    for (size_t i = 0; i < bad.size(); i++) {
        Result<VoiceSnapshot> decoded = VoiceSnapshot::Decode(bad[i].data(), bad[i].size());
        EXPECT_FALSE(decoded) << "case " << i;
        EXPECT_EQ(decoded.code(), B_BAD_DATA) << "case " << i;
    }
}
