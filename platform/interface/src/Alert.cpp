#include "Alert.h"

#include "AlertBox.h"
#include "Report.h"
#include "SdlVideo.h"
#include "Window.h"
#include "WindowIcon.h"

#include <cstdio>

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
    std::string line = "alert: title " + Quoted(fTitle) + " text " + Quoted(fText) + " buttons";
    for (const std::string& label : fButtons)
        line += " " + Quoted(label);
    ReportLine(line);

    int pressed = 0;
    if (BWindow* window = BWindow::OfThisThread(); window != nullptr && window->fDisplay != nullptr) {
        // Shown by the window's thread on its own display connection, and
        // run by the window's own loop: the box goes away when the window
        // is told to quit, as it does when the instance quits.
        AlertBox box(fText, fButtons);
        if (box.Open(fTitle, window->fDisplay->window, WindowIconImages(),
                [window] { return window->IsQuitting(); }))
            pressed = window->RunModal(box);
    } else if (SdlVideo::AcquireUnshared()) {
        {
            AlertBox box(fText, fButtons);
            if (box.Open(fTitle, nullptr, WindowIconImages(), {}))
                pressed = box.RunAlone();
        }
        SdlVideo::Release();
    }
    // No display to show it on: the line above is all the user gets.
    delete this;
    return pressed;
}
