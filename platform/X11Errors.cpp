#include "platform/X11Errors.h"

#include "platform/AppInfo.h"
#include "platform/RegistryEntry.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {

using ErrorHandler = int (*)(Display*, XErrorEvent*);
using SetErrorHandler = ErrorHandler (*)(ErrorHandler);
using IOErrorHandler = int (*)(Display*);
using SetIOErrorHandler = IOErrorHandler (*)(IOErrorHandler);

ErrorHandler gPreviousHandler = nullptr;
std::atomic<bool> gEnding { false };

int TolerantHandler(Display* display, XErrorEvent* event)
{
    if (event->error_code == BadWindow && event->request_code == X_SendEvent)
        return 0;
    return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

// Xlib calls this on the thread that found the connection broken, and ends
// the process itself should it return.
int LostDisplayHandler(Display* display)
{
    if (gEnding.exchange(true)) {
        // Another thread is ending the process; _exit() takes this one too.
        for (;;)
            pause();
    }
    const char* name = display != nullptr ? DisplayString(display) : nullptr;
    char line[256];
    int length = snprintf(line, sizeof(line),
        "%s: couldn't keep the window: lost the connection to display %s\n", kAppName,
        name != nullptr && name[0] != '\0' ? name : "(unknown)");
    if (length > static_cast<int>(sizeof(line)) - 1)
        length = static_cast<int>(sizeof(line)) - 1;
    // One write, so the line can't mix with another thread's output.
    ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(length));
    (void)ignored;
    RegistryEntry::RemoveOwnNow();
    _exit(X11Errors::kLostDisplayExitStatus);
}

// The symbol `name` of the libX11 already in the process, the one SDL's X11
// driver uses; nullptr if there is none. This never loads libX11 on its own.
void* LoadedX11Symbol(const char* name)
{
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* symbol = dlsym(library, name);
    // The library stays loaded for as long as SDL holds it; dropping our
    // reference keeps the count as SDL expects it.
    dlclose(library);
    return symbol;
}

} // namespace

bool X11Errors::TolerateLostWakeUps()
{
    auto setHandler = reinterpret_cast<SetErrorHandler>(LoadedX11Symbol("XSetErrorHandler"));
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
    auto setHandler = reinterpret_cast<SetIOErrorHandler>(LoadedX11Symbol("XSetIOErrorHandler"));
    if (setHandler != nullptr)
        setHandler(LostDisplayHandler);
}
