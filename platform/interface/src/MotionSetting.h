#pragma once

// MotionSetting: whether the user asked for reduced animation, as a window
// on the display sees it. GW_REDUCED_MOTION decides alone when it is set: 1
// asks for it, 0 doesn't. Otherwise the desktop decides, and is followed
// for as long as the window is open: it asks when its XSETTINGS manager
// sets Gtk/EnableAnimations to 0 (GNOME's and GTK's "reduce animation", on
// X11 and for Xwayland's clients), or when KDE's kdeglobals sets
// AnimationDurationFactor=0 (animation speed "instant"). Nothing of it
// waits: the desktop's changes come as events the window's loop hands on,
// and Update() reads only what changed (kdeglobals is looked at once a
// second). Use it on the window's thread.

#include <SDL.h>

#include <memory>
#include <optional>

class KdeGlobals;
class XSettingsWatch;

class MotionSetting {
public:
    // GW_REDUCED_MOTION: 1 or 0; nothing when it is unset or empty. Any
    // other value counts as unset, and one line per process says so.
    static std::optional<bool> FromEnvironment();

    explicit MotionSetting(SDL_Window* window);
    ~MotionSetting();

    MotionSetting(const MotionSetting&) = delete;
    MotionSetting& operator=(const MotionSetting&) = delete;

    bool Reduced() const;
    // Notes whether `event`, any event of the window's thread, says the
    // desktop's settings may have changed.
    void HandleEvent(const SDL_Event& event);
    // Reads again what may have changed.
    void Update();

private:
    std::optional<bool> fEnvironment;
    std::unique_ptr<XSettingsWatch> fXSettings;
    std::unique_ptr<KdeGlobals> fKde;
};
