#pragma once

// Basic integer types and status codes shared by the platform layer and the
// program. Error codes are negative; B_OK is zero.

#include <cstdint>

using int8 = int8_t;
using uint8 = uint8_t;
using int16 = int16_t;
using uint16 = uint16_t;
using int32 = int32_t;
using uint32 = uint32_t;
using int64 = int64_t;
using uint64 = uint64_t;
using status_t = int32;
using bigtime_t = int64;

enum : status_t {
    B_OK = 0,
    B_ERROR = -1,
    B_GENERAL_ERROR_BASE = INT32_MIN,
    B_BAD_INDEX = B_GENERAL_ERROR_BASE + 2,
    B_BAD_TYPE = B_GENERAL_ERROR_BASE + 3,
    B_BAD_VALUE = B_GENERAL_ERROR_BASE + 5,
    B_TIMED_OUT = B_GENERAL_ERROR_BASE + 6,
    B_NAME_NOT_FOUND = B_GENERAL_ERROR_BASE + 7,
    B_BAD_DATA = B_GENERAL_ERROR_BASE + 9,
    B_INTERRUPTED = B_GENERAL_ERROR_BASE + 10,
    B_WOULD_BLOCK = B_GENERAL_ERROR_BASE + 11,
    B_NO_INIT = B_GENERAL_ERROR_BASE + 13,
    B_PERMISSION_DENIED = B_GENERAL_ERROR_BASE + 14,
    B_NOT_ALLOWED = B_GENERAL_ERROR_BASE + 15,
    B_ENTRY_NOT_FOUND = B_GENERAL_ERROR_BASE + 0x6003,
    B_LAUNCH_FAILED = B_GENERAL_ERROR_BASE + 0x1000,
};

// Four-character codes, the first character in the most significant byte.
constexpr uint32 FourCC(const char (&code)[5])
{
    return (static_cast<uint32>(static_cast<uint8>(code[0])) << 24)
        | (static_cast<uint32>(static_cast<uint8>(code[1])) << 16)
        | (static_cast<uint32>(static_cast<uint8>(code[2])) << 8)
        | static_cast<uint32>(static_cast<uint8>(code[3]));
}

static_assert(static_cast<uint32>(B_NAME_NOT_FOUND) == 0x80000007u);
