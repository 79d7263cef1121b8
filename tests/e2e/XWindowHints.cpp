#include "XWindowHints.h"

std::optional<long> MotifDecorations(Display* display, Window window)
{
    Atom hints = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, hints, 0, 5, False, AnyPropertyType, &type, &format,
            &items, &remaining, &data) != Success || data == nullptr)
        return std::nullopt;
    std::optional<long> decorations;
    const long* fields = reinterpret_cast<const long*>(data);
    // Bit 1 of the flags says the decorations field counts.
    if (items >= 3 && (fields[0] & 2) != 0)
        decorations = fields[2];
    XFree(data);
    return decorations;
}
