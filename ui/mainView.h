#pragma once

// The only view of an instance window. It shows the words "gondavel" and
// "wubbix" in one random colour at random places on a random background,
// launches another instance when clicked, and on every pulse has the voice
// drift a little. Its colours and places come from the voice's generator.

#include "GraphicsDefs.h"
#include "Rect.h"
#include "View.h"

class VoiceModel;

class mainView : public BView {
public:
    mainView(BRect frame, const char* name, VoiceModel& voice);
    ~mainView() override;

    void Draw(BRect updateRect) override;
    void MouseDown(BPoint where) override;
    void Pulse() override;

    // Picks a new background and text colour; when the view is in a window,
    // applies them and redraws the whole view.
    void NewColors();

    rgb_color BackColor() const { return backColor; }
    rgb_color TextColor() const { return textColor; }

private:
    VoiceModel& voice;
    rgb_color backColor { 0, 0, 0, 255 };
    rgb_color textColor { 0, 0, 0, 255 };
    BRect frameRect;
};
