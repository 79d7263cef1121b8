#pragma once

// The signature every instance registers under, counts its siblings by and
// launches new instances with.
extern const char* app_signature;
