#include "SdlLock.h"

std::mutex& SdlLock()
{
    static std::mutex mutex;
    return mutex;
}
