#include "platform/X11Errors.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <dlfcn.h>

namespace {

using ErrorHandler = int (*)(Display*, XErrorEvent*);
using SetErrorHandler = ErrorHandler (*)(ErrorHandler);

ErrorHandler gPreviousHandler = nullptr;

int TolerantHandler(Display* display, XErrorEvent* event)
{
    if (event->error_code == BadWindow && event->request_code == X_SendEvent)
        return 0;
    return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

} // namespace

void X11Errors::TolerateLostWakeUps()
{
    // Only the library already in the process, the one SDL's X11 driver
    // uses: this never loads libX11 on its own.
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return;
    auto setHandler = reinterpret_cast<SetErrorHandler>(dlsym(library, "XSetErrorHandler"));
    if (setHandler != nullptr) {
        // Video may start again after a stop, with our handler still in
        // place: it must not become its own fallback.
        ErrorHandler previous = setHandler(TolerantHandler);
        if (previous != TolerantHandler)
            gPreviousHandler = previous;
    }
    // The library stays loaded for as long as SDL holds it; dropping our
    // reference keeps the count as SDL expects it.
    dlclose(library);
}
