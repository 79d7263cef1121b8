#pragma once

// BAlert: a modal message with up to three buttons. Create it with new and
// call Go(), which shows it, waits until a button is pressed and deletes the
// alert. Call Go() from the main thread or from a window's thread.

#include "platform/InterfaceDefs.h"
#include "platform/SupportDefs.h"

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

    // Returns the index of the pressed button and deletes the alert. With
    // no display the text goes to stderr and the result is 0.
    int32 Go();

private:
    std::string fTitle;
    std::string fText;
    std::vector<std::string> fButtons;
    alert_type fType;
};
