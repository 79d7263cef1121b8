#include "Alert.h"

#include "Font.h"
#include "Report.h"
#include "SdlVideo.h"
#include "View.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// In units.
constexpr float kPadding = 12;
constexpr float kButtonGap = 8;
constexpr float kButtonMinWidth = 64;
constexpr float kButtonTextPadding = 14;
constexpr float kButtonTextMargin = 5;
constexpr rgb_color kText { 0, 0, 0, 255 };
constexpr rgb_color kButtonFace { 240, 240, 240, 255 };
constexpr rgb_color kButtonPressed { 184, 184, 184, 255 };
constexpr rgb_color kButtonEdge { 96, 96, 96, 255 };

// A button of the alert, pressed: which one.
constexpr uint32 kButtonPressedMessage = FourCC("alBP");
constexpr const char kIndexField[] = "index";

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

// The font's measures in whole units, so that frames hold them exactly.
float Units(int pixels)
{
    return std::ceil(static_cast<float>(pixels) / static_cast<float>(SdlVideo::Scale()));
}

float TextWidth(const std::string& text)
{
    int width = 0;
    return Font::Width(text.c_str(), &width) ? Units(width) : 0;
}

// Where a line's baseline lies below its top.
float Ascent()
{
    return static_cast<float>(Font::Ascent()) / static_cast<float>(SdlVideo::Scale());
}

// The box's text, line by line, on its background: the view under the
// buttons, as large as the window.
class AlertText : public BView {
public:
    AlertText(BRect frame, std::vector<std::string> lines, float lineSkip)
        : BView(frame, "text", B_FOLLOW_ALL, B_WILL_DRAW),
          fLines(std::move(lines)),
          fLineSkip(lineSkip)
    {
    }

    void Draw(BRect) override
    {
        float top = kPadding;
        for (const std::string& line : fLines) {
            MovePenTo(BPoint(kPadding, top + Ascent()));
            DrawString(line.c_str());
            top += fLineSkip;
        }
    }

private:
    std::vector<std::string> fLines;
    float fLineSkip;
};

// A button: pressed while the mouse button is down on it, it answers when
// the mouse button comes up on it. The default one, drawn with a thicker
// edge, also answers to Return.
class AlertButton : public BView {
public:
    AlertButton(BRect frame, std::string label, int32 index, bool isDefault)
        : BView(frame, "button", B_FOLLOW_ALL, B_WILL_DRAW),
          fLabel(std::move(label)),
          fIndex(index),
          fDefault(isDefault)
    {
    }

    void Draw(BRect) override
    {
        BRect bounds = Bounds();
        float edge = fDefault ? 2 : 1;
        SetHighColor(kButtonEdge);
        FillRect(bounds);
        SetHighColor(fPressed ? kButtonPressed : kButtonFace);
        FillRect(BRect(edge, edge, bounds.right - edge, bounds.bottom - edge));
        SetHighColor(kText);
        MovePenTo(BPoint((bounds.Width() + 1 - StringWidth(fLabel.c_str())) / 2, kButtonTextMargin + Ascent()));
        DrawString(fLabel.c_str());
    }

    void MouseDown(BPoint) override { SetPressed(true); }

    void MouseUp(BPoint where) override
    {
        SetPressed(false);
        if (Bounds().Contains(where))
            Answer();
    }

    void KeyDown(const char* bytes, int32 numBytes) override
    {
        if (numBytes == 1 && bytes[0] == B_ENTER)
            Answer();
        else if (numBytes == 1 && bytes[0] == B_ESCAPE)
            Window()->PostMessage(B_QUIT_REQUESTED);
    }

private:
    void SetPressed(bool pressed)
    {
        fPressed = pressed;
        Invalidate();
    }

    void Answer()
    {
        BMessage message(kButtonPressedMessage);
        message.AddInt32(kIndexField, fIndex);
        Window()->PostMessage(&message);
    }

    std::string fLabel;
    int32 fIndex;
    bool fDefault;
    bool fPressed = false;
};

} // namespace

BAlert::BAlert(const char* title, const char* text, const char* button0, const char* button1,
    const char* button2, button_width, alert_type type)
    : BWindow(BRect(), title, B_MODAL_WINDOW, B_NOT_RESIZABLE | B_NOT_ZOOMABLE),
      fText(text != nullptr ? text : ""),
      fAlertType(type)
{
    for (const char* label : { button0, button1, button2 }) {
        if (label != nullptr)
            fButtons.emplace_back(label);
    }
    if (fButtons.empty())
        fButtons.emplace_back("OK");
    SetPulseRate(0);
}

void BAlert::AddViews()
{
    std::vector<std::string> lines;
    float textWidth = 0;
    for (size_t start = 0;;) {
        size_t end = fText.find('\n', start);
        lines.push_back(fText.substr(start, end == std::string::npos ? end : end - start));
        textWidth = std::max(textWidth, TextWidth(lines.back()));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    float lineSkip = std::max(Units(Font::LineSkip()), static_cast<float>(Font::kPixelSize + 2));

    float buttonHeight = lineSkip + 2 * kButtonTextMargin;
    std::vector<float> widths;
    float buttonsWidth = -kButtonGap;
    for (const std::string& label : fButtons) {
        widths.push_back(std::max(kButtonMinWidth, TextWidth(label) + 2 * kButtonTextPadding));
        buttonsWidth += widths.back() + kButtonGap;
    }

    float width = std::max(textWidth, buttonsWidth) + 2 * kPadding;
    float height = kPadding + static_cast<float>(lines.size()) * lineSkip + kPadding + buttonHeight + kPadding;
    fFrame = BRect(0, 0, width - 1, height - 1);
    AddChild(new AlertText(Bounds(), std::move(lines), lineSkip));
    // The buttons sit at the bottom right, in order, the default last.
    float left = width - kPadding - buttonsWidth;
    float top = height - kPadding - buttonHeight;
    for (size_t i = 0; i < fButtons.size(); i++) {
        bool isDefault = i + 1 == fButtons.size();
        auto* button = new AlertButton(BRect(left, top, left + widths[i] - 1, top + buttonHeight - 1),
            fButtons[i], static_cast<int32>(i), isDefault);
        AddChild(button);
        if (isDefault)
            button->MakeFocus();
        left += widths[i] + kButtonGap;
    }
}

void BAlert::MessageReceived(BMessage* message)
{
    if (message->what != kButtonPressedMessage) {
        BWindow::MessageReceived(message);
        return;
    }
    message->FindInt32(kIndexField, &fAnswer);
    Quit();
}

int32 BAlert::Go()
{
    // The line comes first, so whoever reads stderr sees it while the box
    // waits for the user.
    std::string line = "alert: title " + Quoted(Title()) + " text " + Quoted(fText) + " buttons";
    for (const std::string& label : fButtons)
        line += " " + Quoted(label);
    ReportLine(line);

    if (BWindow* owner = BWindow::OfThisThread(); owner != nullptr && owner->fDisplay != nullptr) {
        // Shown by the window's thread on its own display connection, and
        // run by the window's own loop: the box goes away when the window
        // is told to quit, as it does when the instance quits.
        AddViews();
        owner->RunModal(*this);
    } else if (SdlVideo::AcquireUnshared()) {
        AddViews();
        RunAlone();
        SdlVideo::Release();
    }
    // No display to show it on: the line above is all the user gets.
    int32 answer = fAnswer;
    delete this;
    return answer;
}
