#pragma once

// The program's name as the platform shows it to the outside: the prefix of
// its error lines and the application name the sound server lists.

inline constexpr const char* kAppName = "gondavel_wubbix";
