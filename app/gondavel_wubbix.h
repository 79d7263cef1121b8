#pragma once

// The application of one instance. Its constructor does all the start-up:
// it counts the running instances, and from its own index derives the
// window's title (the program's name rotated) and its place in a grid of
// three columns that grows downward from the middle of the screen; then it
// shows the window and sets it up.

#include "Application.h"
#include "Rect.h"

class gondavel_wubbixWindow;

class gondavel_wubbix : public BApplication {
public:
    gondavel_wubbix();
    ~gondavel_wubbix() override;

    // Messages to the application, the launch note among them, and requests
    // to open files are dropped.
    void MessageReceived(BMessage* message) override;
    void RefsReceived(BMessage* message) override;

private:
    gondavel_wubbixWindow* window = nullptr;
};

// The title of the instance with index `index`: the program's name rotated
// left by the index, repeating every 14 instances past the fifteenth.
// `title` receives 15 characters and a terminating NUL.
void InstanceTitle(int32 index, char title[16]);

// The top-left corner of the window of the instance with index `index` on a
// screen with frame `screen`.
BPoint InstancePosition(int32 index, BRect screen);
