#pragma once

// XSettingsWatch: follows one integer setting of the X desktop's settings
// manager (XSETTINGS) over a window's own connection to the X server. The
// manager owns the selection _XSETTINGS_S<screen> and keeps the settings in
// its window's property _XSETTINGS_SETTINGS. A new manager announces itself
// with a MANAGER message to the root window, a manager that goes away
// destroys its window, and changed settings change the property; the watch
// asks for those events, which SDL passes on as SDL_SYSWMEVENTs, and reads
// the setting again only after one of them. Xlib is the one SDL's X11
// driver loaded. Call everything on the thread that makes the window's
// video calls.

#include "SupportDefs.h"

#include <SDL.h>

#include <memory>
#include <optional>
#include <string>

class XSettingsWatch {
public:
    // Nothing (nullptr) when `window` is no X11 window.
    static std::unique_ptr<XSettingsWatch> Start(SDL_Window* window, const std::string& name);
    ~XSettingsWatch();

    // The setting as last read; nothing while no manager runs, or the
    // manager doesn't set it or sets it in data that doesn't hold together.
    std::optional<int32> Value() const { return fValue; }
    // Notes whether `event` says the settings may have changed.
    void HandleEvent(const SDL_Event& event);
    // Reads the setting again if they may have.
    void Update();

private:
    struct Functions;

    XSettingsWatch() = default;

    std::unique_ptr<Functions> fX;
    void* fDisplay = nullptr;
    unsigned long fRoot = 0;
    unsigned long fSelection = 0;
    unsigned long fSettings = 0;
    unsigned long fManager = 0;
    // The manager's window, once found; 0 when there is none.
    unsigned long fOwner = 0;
    std::string fName;
    bool fStale = true;
    std::optional<int32> fValue;
};
