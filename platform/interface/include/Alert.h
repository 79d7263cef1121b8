#pragma once

// BAlert: a modal message with up to three buttons, the last the default
// (Return presses it; Escape, Ctrl+W, Alt+F4 or a close answer 0). Create
// it with new and call Go(), which shows it, waits until it is answered and
// deletes the alert. Called from a window's thread, the alert belongs to
// that window (it stays above it) and the window's own loop runs it:
// meanwhile the window handles no pulse and no message but a quit request,
// and drops its clicks; its close, its destruction by another client or a
// quit end the window and the alert with it, while the alert's own close
// ends only the alert. From another thread, it is shown only while no
// window is, and runs the same loop on that thread.

#include "InterfaceDefs.h"
#include "SupportDefs.h"
#include "Window.h"

#include <string>
#include <vector>

class BAlert : public BWindow {
public:
    BAlert(const char* title, const char* text, const char* button0,
        const char* button1 = nullptr, const char* button2 = nullptr,
        button_width width = B_WIDTH_AS_USUAL, alert_type type = B_INFO_ALERT);
    ~BAlert() override = default;

    // Returns the index of the pressed button and deletes the alert.
    // Before showing the box it writes the alert to stderr as one line,
    //   <program>: alert: title "<title>" text "<text>" buttons "<label>" ...
    // each string quoted with backslash, double quote and control characters
    // escaped as in C (\\, \", \n, \t, \xHH), so a log, or a test that can't
    // read the box, gets every word of it. With no display that line is all
    // there is and the result is 0; the result is 0 too when the box is
    // closed or goes away with its window.
    int32 Go();

    void MessageReceived(BMessage* message) override;

private:
    // Makes the views of the text and the buttons and sizes the window to
    // them, in the display's scale.
    void AddViews();

    std::string fText;
    std::vector<std::string> fButtons;
    alert_type fAlertType;
    int32 fAnswer = 0;
};
