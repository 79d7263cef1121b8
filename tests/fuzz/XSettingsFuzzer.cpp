// Feeds XSettings::FindInteger() whatever another X client could write in a
// settings manager's property; the sanitizers catch any read outside it.

#include "XSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    XSettings::FindInteger(data, size, "Gtk/EnableAnimations");
    return 0;
}
