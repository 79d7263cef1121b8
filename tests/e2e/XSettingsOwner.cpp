#include "XSettingsOwner.h"

#include <X11/Xlib.h>

#include <stdexcept>
#include <vector>

XSettingsOwner::XSettingsOwner(const std::string& display, bool animations)
    : fDisplay(XOpenDisplay(display.c_str()))
{
    if (fDisplay == nullptr)
        throw std::runtime_error("couldn't connect to display " + display);
    Window root = DefaultRootWindow(fDisplay);
    fWindow = XCreateSimpleWindow(fDisplay, root, 0, 0, 1, 1, 0, 0, 0);
    fSettings = XInternAtom(fDisplay, "_XSETTINGS_SETTINGS", False);
    SetAnimations(animations);
    Atom selection = XInternAtom(fDisplay, "_XSETTINGS_S0", False);
    XSetSelectionOwner(fDisplay, selection, fWindow, CurrentTime);
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = root;
    event.xclient.message_type = XInternAtom(fDisplay, "MANAGER", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = static_cast<long>(selection);
    event.xclient.data.l[2] = static_cast<long>(fWindow);
    XSendEvent(fDisplay, root, False, StructureNotifyMask, &event);
    XSync(fDisplay, False);
}

XSettingsOwner::~XSettingsOwner()
{
    XDestroyWindow(fDisplay, fWindow);
    XCloseDisplay(fDisplay);
}

void XSettingsOwner::SetAnimations(bool animations)
{
    // Least significant byte first: the byte order, 3 unused, the serial,
    // one setting. It is an integer (type 0, 1 unused), its name's length
    // and name (20 bytes, so no padding), the serial of its last change and
    // its value.
    std::vector<unsigned char> data = { 0, 0, 0, 0 };
    auto card32 = [&](uint32_t value) {
        for (int byte = 0; byte < 4; byte++)
            data.push_back(static_cast<unsigned char>(value >> (8 * byte)));
    };
    const std::string name = "Gtk/EnableAnimations";
    card32(fSerial);
    card32(1);
    data.insert(data.end(), { 0, 0, static_cast<unsigned char>(name.size()), 0 });
    data.insert(data.end(), name.begin(), name.end());
    card32(fSerial++);
    card32(animations ? 1 : 0);
    XChangeProperty(fDisplay, fWindow, fSettings, fSettings, 8, PropModeReplace, data.data(),
        static_cast<int>(data.size()));
    XSync(fDisplay, False);
}
