#pragma once

// XSettings: reads a value out of the settings an X desktop's settings
// manager hands its clients, the _XSETTINGS_SETTINGS property of the window
// that owns the selection _XSETTINGS_S<screen>. The data comes from another
// client, so every count and length in it is checked against the bytes
// there; data that doesn't hold together yields nothing. Plain code, safe
// from any thread.

#include "SupportDefs.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace XSettings {

// The integer setting `name` in `data`, `size` bytes of the property; the
// last one of that name if there are several. Nothing when there is none,
// when `name` names a string or a colour, or when the data is malformed
// anywhere.
std::optional<int32> FindInteger(const uint8* data, size_t size, std::string_view name);

} // namespace XSettings
