#include "VoiceSnapshot.h"

#include "OfflineVoice.h"

#include <endian.h>

#include <cmath>
#include <cstring>

namespace {

constexpr char kMagic[4] = { 'G', 'W', 'V', 'S' };
constexpr uint32 kVersion = 1;

class Writer {
public:
    void Bytes(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const uint8*>(data);
        fOut.insert(fOut.end(), bytes, bytes + size);
    }
    void U8(uint8 value) { fOut.push_back(value); }
    void U16(uint16 value)
    {
        uint16 le = htole16(value);
        Bytes(&le, sizeof le);
    }
    void U32(uint32 value)
    {
        uint32 le = htole32(value);
        Bytes(&le, sizeof le);
    }
    void I32(int32 value) { U32(static_cast<uint32>(value)); }
    void F32(float value)
    {
        uint32 bits;
        memcpy(&bits, &value, sizeof bits);
        U32(bits);
    }
    void I64(int64 value)
    {
        uint64 le = htole64(static_cast<uint64>(value));
        Bytes(&le, sizeof le);
    }
    std::vector<uint8>& Out() { return fOut; }

private:
    std::vector<uint8> fOut;
};

// Reads the fields Writer wrote; the caller has checked the size.
class Reader {
public:
    explicit Reader(const uint8* data) : fData(data) {}

    void Bytes(void* out, size_t size)
    {
        memcpy(out, fData, size);
        fData += size;
    }
    uint8 U8() { return *fData++; }
    uint16 U16()
    {
        uint16 le;
        Bytes(&le, sizeof le);
        return le16toh(le);
    }
    uint32 U32()
    {
        uint32 le;
        Bytes(&le, sizeof le);
        return le32toh(le);
    }
    int32 I32() { return static_cast<int32>(U32()); }
    float F32()
    {
        uint32 bits = U32();
        float value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }
    int64 I64()
    {
        uint64 le;
        Bytes(&le, sizeof le);
        return static_cast<int64>(le64toh(le));
    }

private:
    const uint8* fData;
};

// The fields of a parameter block that are floats, in their order.
template <typename Parameters, typename Visit>
void ForEachFloat(Parameters& p, Visit visit)
{
    for (auto* field : { &p.frequency, &p.feedback, &p.feedbackDriftScale, &p.feedbackDriftChance,
             &p.frequencyDriftScale, &p.delayDriftScale, &p.frequencyDriftChance,
             &p.delayDriftChance, &p.restlessness, &p.pan, &p.leftGain, &p.rightGain,
             &p.restlessnessStep })
        visit(*field);
}

void Write(Writer& out, const VoiceSnapshot& snapshot)
{
    out.Bytes(kMagic, sizeof kMagic);
    out.U32(kVersion);
    const VoiceModel::State& model = snapshot.model;
    out.I32(model.parameters.delayLength);
    out.U32(model.parameters.waveform);
    ForEachFloat(model.parameters, [&](float value) { out.F32(value); });
    out.I32(model.direction);
    for (uint32 word : model.random.words)
        out.U32(word);
    out.U8(model.random.front);
    out.U8(model.random.rear);
    out.U8(model.pending.asked ? 1 : 0);
    out.U8(model.pending.mains ? 1 : 0);
    out.I32(snapshot.writePos);
    out.F32(snapshot.phase);
    out.U16(snapshot.rampAccumulator);
    out.I64(snapshot.framesToPulse);
    for (float sample : snapshot.delayLine)
        out.F32(sample);
}

size_t EncodedSize()
{
    Writer out;
    Write(out, VoiceSnapshot {});
    return out.Out().size();
}

// A sum past the 16-bit scale wraps once, at full precision, and is rounded
// to float after: it lands anywhere from -32769 to 32768.
bool IsSample(float value)
{
    return value >= -32769.0f && value <= 32768.0f;
}

bool IsUnit(float value)
{
    return value >= 0.0f && value <= 1.0f;
}

// What the model's rolls and walks keep in 0 ... 1 (a feedback or a drift
// scale past it would take the synthesis and the walks out of range), and
// a frequency that is never negative.
bool InRange(const VoiceModel::Parameters& p)
{
    for (float value : { p.feedback, p.feedbackDriftScale, p.feedbackDriftChance,
             p.frequencyDriftScale, p.delayDriftScale, p.frequencyDriftChance, p.delayDriftChance,
             p.pan, p.leftGain, p.rightGain, p.restlessnessStep })
        if (!IsUnit(value))
            return false;
    return p.frequency >= 0.0f;
}

} // namespace

const size_t VoiceSnapshot::kEncodedSize = EncodedSize();

std::vector<uint8> VoiceSnapshot::Encode() const
{
    Writer out;
    out.Out().reserve(kEncodedSize);
    Write(out, *this);
    return std::move(out.Out());
}

Result<VoiceSnapshot> VoiceSnapshot::Decode(const void* data, size_t size)
{
    const Error bad { B_BAD_DATA, "not a voice's state" };
    if (data == nullptr || size != kEncodedSize)
        return bad;
    Reader in(static_cast<const uint8*>(data));
    char magic[sizeof kMagic];
    in.Bytes(magic, sizeof magic);
    if (memcmp(magic, kMagic, sizeof kMagic) != 0 || in.U32() != kVersion)
        return bad;

    VoiceSnapshot snapshot;
    VoiceModel::State& model = snapshot.model;
    model.parameters.delayLength = in.I32();
    model.parameters.waveform = in.U32();
    bool finite = true;
    ForEachFloat(model.parameters, [&](float& value) {
        value = in.F32();
        finite = finite && std::isfinite(value);
    });
    model.direction = in.I32();
    for (uint32& word : model.random.words)
        word = in.U32();
    model.random.front = in.U8();
    model.random.rear = in.U8();
    uint8 asked = in.U8();
    uint8 mains = in.U8();
    model.pending = { asked == 1, mains == 1 };
    snapshot.writePos = in.I32();
    snapshot.phase = in.F32();
    snapshot.rampAccumulator = in.U16();
    snapshot.framesToPulse = in.I64();
    bool samples = true;
    for (float& sample : snapshot.delayLine) {
        sample = in.F32();
        samples = samples && IsSample(sample);
    }

    ParameterBlock block;
    VoiceModel check(block);
    if (!finite || !samples || asked > 1 || mains > 1 || !InRange(model.parameters)
        || !check.Restore(model) || snapshot.writePos < 0
        || snapshot.writePos >= static_cast<int32>(kDelaySamples) || !std::isfinite(snapshot.phase)
        || snapshot.framesToPulse < 0 || snapshot.framesToPulse > OfflineVoice::kPulseFrames)
        return bad;
    return snapshot;
}
