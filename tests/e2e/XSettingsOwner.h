#pragma once

// A desktop's settings manager (XSETTINGS) of the test's own, on an X
// display: a window of its own connection owns the selection _XSETTINGS_S0
// and holds one setting, Gtk/EnableAnimations, in its _XSETTINGS_SETTINGS
// property, and the manager announces itself to the root window as
// managers do. It goes away with the object, and the selection with it.

#include "XHandles.h"

#include <cstdint>
#include <string>

class XSettingsOwner {
public:
    // Throws when it can't connect to `display`.
    XSettingsOwner(const std::string& display, bool animations);
    ~XSettingsOwner();

    XSettingsOwner(const XSettingsOwner&) = delete;
    XSettingsOwner& operator=(const XSettingsOwner&) = delete;

    // Changes the setting, as a manager does when the user changes it.
    void SetAnimations(bool animations);

private:
    Display* fDisplay = nullptr;
    Window fWindow = 0;
    Atom fSettings = 0;
    uint32_t fSerial = 0;
};
