#include "XSettings.h"

namespace {

// Setting types, and how the data is laid out.
enum : uint8 {
    kInteger = 0,
    kString = 1,
    kColor = 2,
};
constexpr size_t kHeaderSize = 12; // byte order, 3 unused, serial, count
constexpr size_t kColorSize = 8;   // red, green, blue, alpha: 16 bits each

size_t Padded(size_t length)
{
    return (length + 3) & ~size_t(3);
}

} // namespace

std::optional<int32> XSettings::FindInteger(const uint8* data, size_t size, std::string_view name)
{
    // The first byte is the byte order of every number after it: 0 for the
    // least significant byte first, 1 for the most.
    if (data == nullptr || size < kHeaderSize || data[0] > 1)
        return std::nullopt;
    const bool msbFirst = data[0] == 1;
    auto card = [&](size_t at, int bytes) {
        uint32 value = 0;
        for (int i = 0; i < bytes; i++) {
            int byte = msbFirst ? i : bytes - 1 - i;
            value = (value << 8) | data[at + byte];
        }
        return value;
    };

    uint32 count = card(8, 4);
    size_t at = kHeaderSize;
    std::optional<int32> found;
    // Each setting takes at least 12 bytes, so a count larger than the data
    // runs out of bytes long before it runs out of settings.
    for (uint32 n = 0; n < count; n++) {
        // Type, 1 unused, name length, the name padded to 4 bytes, and the
        // serial of its last change.
        if (size - at < 4)
            return std::nullopt;
        uint8 type = data[at];
        size_t nameLength = card(at + 2, 2);
        at += 4;
        if (size - at < Padded(nameLength) + 4)
            return std::nullopt;
        std::string_view settingName(reinterpret_cast<const char*>(data + at), nameLength);
        at += Padded(nameLength) + 4;

        size_t valueSize = 0;
        switch (type) {
        case kInteger:
            valueSize = 4;
            break;
        case kString:
            // Its length, then the string padded to 4 bytes.
            if (size - at < 4)
                return std::nullopt;
            valueSize = 4 + Padded(card(at, 4));
            break;
        case kColor:
            valueSize = kColorSize;
            break;
        default:
            return std::nullopt;
        }
        if (size - at < valueSize)
            return std::nullopt;
        if (type == kInteger && settingName == name)
            found = static_cast<int32>(card(at, 4));
        at += valueSize;
    }
    return found;
}
