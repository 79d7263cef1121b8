#pragma once

// What the program file says about itself besides its signature
// (app_signature): its version, its descriptions and how it may be
// launched. The desktop entry installed beside the program carries the same
// name and description.

#include "platform/SupportDefs.h"
#include "ui/AppSignature.h"

// Development, alpha, beta, gamma, golden master, final.
enum : uint32 {
    B_APPV_DEVELOPMENT = 0,
    B_APPV_ALPHA = 1,
    B_APPV_BETA = 2,
    B_APPV_GAMMA = 3,
    B_APPV_GOLDEN_MASTER = 4,
    B_APPV_FINAL = 5,
};

// Any number of instances may run at once.
inline constexpr uint32 B_MULTIPLE_LAUNCH = 0x1;

struct AppVersion {
    uint32 major;
    uint32 middle;
    uint32 minor;
    uint32 variety;
    uint32 internal;
    const char* shortInfo;
    const char* longInfo;
};

inline constexpr AppVersion kAppVersion {
    1, 1, 0, B_APPV_DEVELOPMENT, 0,
    "gondavel_wubbix",
    "tiny windows that hum and flicker; click one for another",
};
// "1.1.0 (development)", as tools print it.
inline constexpr const char* kAppVersionString = "1.1.0 (development)";
inline constexpr uint32 kAppFlags = B_MULTIPLE_LAUNCH;
