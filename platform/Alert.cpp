#include "platform/Alert.h"

#include "platform/SdlVideo.h"

#include <SDL.h>

#include <cstdio>
#include <mutex>

BAlert::BAlert(const char* title, const char* text, const char* button0, const char* button1,
    const char* button2, button_width, alert_type type)
    : fTitle(title != nullptr ? title : ""),
      fText(text != nullptr ? text : ""),
      fType(type)
{
    for (const char* label : { button0, button1, button2 }) {
        if (label != nullptr)
            fButtons.emplace_back(label);
    }
    if (fButtons.empty())
        fButtons.emplace_back("OK");
}

int32 BAlert::Go()
{
    std::vector<SDL_MessageBoxButtonData> buttons;
    for (size_t i = 0; i < fButtons.size(); i++) {
        // The last button is the default one, as it is the rightmost.
        Uint32 flags = i + 1 == fButtons.size() ? SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT : 0;
        buttons.push_back(SDL_MessageBoxButtonData { flags, static_cast<int>(i), fButtons[i].c_str() });
    }
    Uint32 kind = SDL_MESSAGEBOX_INFORMATION;
    if (fType == B_WARNING_ALERT)
        kind = SDL_MESSAGEBOX_WARNING;
    else if (fType == B_STOP_ALERT)
        kind = SDL_MESSAGEBOX_ERROR;
    SDL_MessageBoxData data {};
    data.flags = kind | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
    data.title = fTitle.c_str();
    data.message = fText.c_str();
    data.numbuttons = static_cast<int>(buttons.size());
    data.buttons = buttons.data();

    int pressed = -1;
    // A message box must not overlap video start-up or shut-down, which
    // share its display library state. While a window holds video neither
    // can happen, so the box is shown without SDL's lock, which the sound
    // may need while the alert waits for the user.
    std::unique_lock<std::mutex> guard(SdlVideo::Mutex());
    if (SdlVideo::IsHeld())
        guard.unlock();
    int result = SDL_ShowMessageBox(&data, &pressed);
    if (guard.owns_lock())
        guard.unlock();
    if (result != 0) {
        // No display to show it on: the text is all the user gets.
        fprintf(stderr, "%s\n", fText.c_str());
        pressed = 0;
    }
    // Closed without a button (the window manager's close): the first.
    if (pressed < 0)
        pressed = 0;
    delete this;
    return pressed;
}
