#include "X11Errors.h"

#include "LostDisplay.h"
#include "X11Window.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <string>

namespace {

using ErrorHandler = int (*)(Display*, XErrorEvent*);
using SetErrorHandler = ErrorHandler (*)(ErrorHandler);
using IOErrorHandler = int (*)(Display*);
using SetIOErrorHandler = IOErrorHandler (*)(IOErrorHandler);

ErrorHandler gPreviousHandler = nullptr;

int TolerantHandler(Display* display, XErrorEvent* event)
{
    if (event->error_code == BadWindow || event->error_code == BadDrawable)
        return 0;
    if (event->error_code == BadGC && event->request_code == X_FreeGC)
        return 0;
    return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

// Xlib calls this on the thread that found the connection broken, and ends
// the process itself should it return.
int LostDisplayHandler(Display* display)
{
    const char* name = display != nullptr ? DisplayString(display) : nullptr;
    LostDisplay::End(
        std::string("display ") + (name != nullptr && name[0] != '\0' ? name : "(unknown)"));
}

} // namespace

bool X11Errors::TolerateLostWakeUps()
{
    auto setHandler = reinterpret_cast<SetErrorHandler>(X11Window::LoadedSymbol("XSetErrorHandler"));
    if (setHandler == nullptr)
        return false;
    // Video may start again after a stop, with our handler still in place:
    // it must not become its own fallback.
    ErrorHandler previous = setHandler(TolerantHandler);
    if (previous != TolerantHandler)
        gPreviousHandler = previous;
    return true;
}

void X11Errors::EndOnLostDisplay()
{
    auto setHandler = reinterpret_cast<SetIOErrorHandler>(X11Window::LoadedSymbol("XSetIOErrorHandler"));
    if (setHandler != nullptr)
        setHandler(LostDisplayHandler);
}
