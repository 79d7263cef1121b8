// Reading an integer out of a settings manager's XSETTINGS data, which
// another client wrote: in either byte order and past strings and colours,
// and nothing at all from data that doesn't hold together (the fuzzer
// xsettings_fuzzer tries more).

#include "XSettings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Three settings, least significant byte first: the string Net/ThemeName
// "Adwaita", the colour Gtk/Color and the integer Gtk/EnableAnimations 0.
const std::vector<uint8> kSettings = {
    0, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0,
    1, 0, 13, 0, 'N', 'e', 't', '/', 'T', 'h', 'e', 'm', 'e', 'N', 'a', 'm', 'e', 0, 0, 0,
    5, 0, 0, 0, 7, 0, 0, 0, 'A', 'd', 'w', 'a', 'i', 't', 'a', 0,
    2, 0, 9, 0, 'G', 't', 'k', '/', 'C', 'o', 'l', 'o', 'r', 0, 0, 0,
    6, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8,
    0, 0, 20, 0, 'G', 't', 'k', '/', 'E', 'n', 'a', 'b', 'l', 'e', 'A', 'n', 'i', 'm', 'a', 't', 'i', 'o', 'n', 's',
    7, 0, 0, 0, 0, 0, 0, 0
};
constexpr size_t kValueAt = 104;

std::optional<int32> Animations(const std::vector<uint8>& data)
{
    return XSettings::FindInteger(data.data(), data.size(), "Gtk/EnableAnimations");
}

} // namespace

TEST(XSettings, FindsAnIntegerInEitherByteOrder)
{
    EXPECT_EQ(Animations(kSettings), 0);
    std::vector<uint8> data = kSettings;
    data[kValueAt] = 1;
    EXPECT_EQ(Animations(data), 1);
    EXPECT_EQ(XSettings::FindInteger(data.data(), data.size(), "Net/ThemeName"), std::nullopt);
    EXPECT_EQ(XSettings::FindInteger(data.data(), data.size(), "Gtk/Enable"), std::nullopt);

    // Most significant byte first: the numbers' bytes reversed.
    std::vector<uint8> big = { 1, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 20 };
    big.insert(big.end(), kSettings.begin() + 80, kSettings.begin() + 100);
    big.insert(big.end(), { 0, 0, 0, 9, 0xff, 0xff, 0xff, 0xfe });
    EXPECT_EQ(Animations(big), -2);
}

TEST(XSettings, DataThatDoesNotHoldTogetherYieldsNothing)
{
    // Cut short anywhere.
    for (size_t size = 0; size < kSettings.size(); size++)
        EXPECT_EQ(XSettings::FindInteger(kSettings.data(), size, "Gtk/EnableAnimations"), std::nullopt) << size;
    auto with = [](size_t at, std::vector<uint8> bytes) {
        std::vector<uint8> data = kSettings;
        std::copy(bytes.begin(), bytes.end(), data.begin() + at);
        return data;
    };
    // A byte order that isn't one, an unknown type, lengths and counts
    // beyond the data.
    for (const std::vector<uint8>& data : { with(0, { 2 }), with(48, { 3 }),
             with(14, { 0xff, 0xff }), with(36, { 0xfd, 0xff, 0xff, 0xff }),
             with(8, { 0xff, 0xff, 0xff, 0xff }), with(8, { 4 }) })
        EXPECT_EQ(Animations(data), std::nullopt);
    EXPECT_EQ(XSettings::FindInteger(nullptr, 0, "Gtk/EnableAnimations"), std::nullopt);
}
