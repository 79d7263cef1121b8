#pragma once

// BAlert: a modal message with up to three buttons. Create it with new and
// call Go(), which shows it, waits until a button is pressed and deletes the
// alert. Called from a window's thread, the box belongs to that window (it
// stays above it) and the window's own loop runs it: meanwhile the window
// handles no pulse and no message but a quit request, and drops its clicks;
// its close, its destruction by another client or a quit end the window and
// the box with it, while the box's own close ends only the box. From
// another thread, it is shown only while no window is.

#include "InterfaceDefs.h"
#include "SupportDefs.h"

#include <string>
#include <vector>

class BAlert {
public:
    BAlert(const char* title, const char* text, const char* button0,
        const char* button1 = nullptr, const char* button2 = nullptr,
        button_width width = B_WIDTH_AS_USUAL, alert_type type = B_INFO_ALERT);
    ~BAlert() = default;

    BAlert(const BAlert&) = delete;
    BAlert& operator=(const BAlert&) = delete;

    // Returns the index of the pressed button and deletes the alert.
    // Before showing the box it writes the alert to stderr as one line,
    //   <program>: alert: title "<title>" text "<text>" buttons "<label>" ...
    // each string quoted with backslash, double quote and control characters
    // escaped as in C (\\, \", \n, \t, \xHH), so a log, or a test that can't
    // read the box, gets every word of it. With no display that line is all
    // there is and the result is 0; the result is 0 too when the box is
    // closed or goes away with its window.
    int32 Go();

private:
    std::string fTitle;
    std::string fText;
    std::vector<std::string> fButtons;
    alert_type fType;
};
