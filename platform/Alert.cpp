#include "platform/Alert.h"

#include "platform/AppInfo.h"

#include "platform/SdlVideo.h"

#include <SDL.h>

#include <cstdio>
#include <mutex>

namespace {

// `text` in double quotes, with backslash, quote and control characters
// escaped as in C, so the result is one line and reads back unambiguously.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

} // namespace

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
    // The line comes first, so whoever reads stderr sees it while the box
    // waits for the user.
    std::string line = std::string(kAppName) + ": alert: title " + Quoted(fTitle) + " text " + Quoted(fText) + " buttons";
    for (const std::string& label : fButtons)
        line += " " + Quoted(label);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);

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
    // No display to show it on: the line above is all the user gets.
    if (result != 0)
        pressed = 0;
    // Closed without a button (the window manager's close): the first.
    if (pressed < 0)
        pressed = 0;
    delete this;
    return pressed;
}
