#pragma once

// The only view of an instance window. It shows the words "gondavel" and
// "wubbix" in one random colour at random places on a random background,
// launches another instance when clicked, and on every pulse lets the sound
// drift a little.

#include "GraphicsDefs.h"
#include "Rect.h"
#include "View.h"

class mainView : public BView {
public:
    mainView(BRect frame, const char* name);
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
    rgb_color backColor { 0, 0, 0, 255 };
    rgb_color textColor { 0, 0, 0, 255 };
    BRect frameRect;
};
