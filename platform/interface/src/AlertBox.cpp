#include "AlertBox.h"

#include "Font.h"
#include "SdlVideo.h"
#include "X11Window.h"

#include <algorithm>
#include <memory>

namespace {

// In units; the box is drawn at the display's scale.
constexpr int kPadding = 12;
constexpr int kButtonGap = 8;
constexpr int kButtonMinWidth = 64;
constexpr int kButtonTextPadding = 14;
constexpr int kButtonTextMargin = 5;
// How often the box asks whether to give up while nothing happens.
constexpr Uint32 kPollMillis = 250;

constexpr SDL_Color kBackground { 216, 216, 216, 255 };
constexpr SDL_Color kText { 0, 0, 0, 255 };
constexpr SDL_Color kButtonFace { 240, 240, 240, 255 };
constexpr SDL_Color kButtonPressed { 184, 184, 184, 255 };
constexpr SDL_Color kButtonEdge { 96, 96, 96, 255 };

struct SurfaceDeleter {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using Surface = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

struct Button {
    Surface label;
    SDL_Rect frame {};
};

class Box {
public:
    Box(const std::string& text, const std::vector<std::string>& buttons);
    ~Box();

    bool Open(const std::string& title, SDL_Window* parent,
        const std::vector<X11Window::IconImage>& icon);
    int Run(const std::function<bool()>& giveUp);

private:
    void Draw();
    void Fill(SDL_Surface* surface, const SDL_Rect& rect, SDL_Color color) const;
    // The button at window pixel (x, y), or -1.
    int ButtonAt(int x, int y) const;
    // Window events of other windows, put back for their own loop once
    // the box is gone; their input is dropped while the box is modal.
    void KeepForLater(const SDL_Event& event);

    std::vector<Surface> fLines;
    std::vector<Button> fButtons;
    int fWidth = 0;
    int fHeight = 0;
    int fLineSkip = 0;
    SDL_Window* fWindow = nullptr;
    Uint32 fWindowId = 0;
    Uint32 fParentId = 0;
    int fPressed = -1;
    std::vector<SDL_Event> fLater;
    // Pixels a unit is across, and the spacing in pixels.
    int fScale = SdlVideo::Scale();
    int fPadding = kPadding * fScale;
};

Box::Box(const std::string& text, const std::vector<std::string>& buttons)
{
    fLineSkip = std::max(Font::LineSkip(), (Font::kPixelSize + 2) * fScale);
    int textWidth = 0;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        // An empty line renders as nothing, but takes its place.
        fLines.emplace_back(Font::Render(line.c_str(), kText));
        if (fLines.back() != nullptr)
            textWidth = std::max(textWidth, fLines.back()->w);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }

    int buttonHeight = fLineSkip + 2 * kButtonTextMargin * fScale;
    int buttonsWidth = 0;
    for (const std::string& label : buttons) {
        Button button;
        button.label.reset(Font::Render(label.c_str(), kText));
        int labelWidth = button.label != nullptr ? button.label->w : 0;
        button.frame.w = std::max(kButtonMinWidth * fScale, labelWidth + 2 * kButtonTextPadding * fScale);
        button.frame.h = buttonHeight;
        buttonsWidth += button.frame.w + (fButtons.empty() ? 0 : kButtonGap * fScale);
        fButtons.push_back(std::move(button));
    }

    fWidth = std::max(textWidth, buttonsWidth) + 2 * fPadding;
    int textHeight = static_cast<int>(fLines.size()) * fLineSkip;
    fHeight = fPadding + textHeight + fPadding + buttonHeight + fPadding;
    // The buttons sit at the bottom right, in order, the default last.
    int x = fWidth - fPadding - buttonsWidth;
    for (Button& button : fButtons) {
        button.frame.x = x;
        button.frame.y = fHeight - fPadding - buttonHeight;
        x += button.frame.w + kButtonGap * fScale;
    }
}

Box::~Box()
{
    if (fWindow != nullptr)
        SDL_DestroyWindow(fWindow);
    for (SDL_Event& event : fLater)
        SDL_PushEvent(&event);
}

bool Box::Open(const std::string& title, SDL_Window* parent,
    const std::vector<X11Window::IconImage>& icon)
{
    int x = SDL_WINDOWPOS_CENTERED;
    int y = SDL_WINDOWPOS_CENTERED;
    if (parent != nullptr) {
        // Centred over the parent, and on its display.
        int left = 0, top = 0, width = 0, height = 0;
        SDL_GetWindowPosition(parent, &left, &top);
        SDL_GetWindowSize(parent, &width, &height);
        x = left + width / 2 - fWidth / 2;
        y = top + height / 2 - fHeight / 2;
        SDL_Rect display;
        int index = SDL_GetWindowDisplayIndex(parent);
        if (index >= 0 && SDL_GetDisplayBounds(index, &display) == 0) {
            x = std::clamp(x, display.x, std::max(display.x, display.x + display.w - fWidth));
            y = std::clamp(y, display.y, std::max(display.y, display.y + display.h - fHeight));
        }
        fParentId = SDL_GetWindowID(parent);
    }
    fWindow = SDL_CreateWindow(title.c_str(), x, y, fWidth, fHeight, SDL_WINDOW_HIDDEN);
    if (fWindow == nullptr)
        return false;
    fWindowId = SDL_GetWindowID(fWindow);
    X11Window::SetIcon(fWindow, icon);
    if (parent != nullptr)
        SDL_SetWindowModalFor(fWindow, parent);
    SDL_ShowWindow(fWindow);
    SDL_RaiseWindow(fWindow);
    if (SDL_GetWindowSurface(fWindow) == nullptr)
        return false;
    Draw();
    return true;
}

void Box::Fill(SDL_Surface* surface, const SDL_Rect& rect, SDL_Color color) const
{
    SDL_FillRect(surface, &rect, SDL_MapRGB(surface->format, color.r, color.g, color.b));
}

void Box::Draw()
{
    SDL_Surface* surface = SDL_GetWindowSurface(fWindow);
    if (surface == nullptr)
        return;
    Fill(surface, SDL_Rect { 0, 0, surface->w, surface->h }, kBackground);
    int y = fPadding;
    for (const Surface& line : fLines) {
        if (line != nullptr) {
            SDL_Rect where { fPadding, y, line->w, line->h };
            SDL_BlitSurface(line.get(), nullptr, surface, &where);
        }
        y += fLineSkip;
    }
    for (size_t i = 0; i < fButtons.size(); i++) {
        const Button& button = fButtons[i];
        // The default button's edge is drawn twice as thick.
        int edge = (i + 1 == fButtons.size() ? 2 : 1) * fScale;
        Fill(surface, button.frame, kButtonEdge);
        SDL_Rect face { button.frame.x + edge, button.frame.y + edge, button.frame.w - 2 * edge,
            button.frame.h - 2 * edge };
        Fill(surface, face, static_cast<int>(i) == fPressed ? kButtonPressed : kButtonFace);
        if (button.label != nullptr) {
            SDL_Rect where { button.frame.x + (button.frame.w - button.label->w) / 2,
                button.frame.y + (button.frame.h - button.label->h) / 2, button.label->w,
                button.label->h };
            SDL_BlitSurface(button.label.get(), nullptr, surface, &where);
        }
    }
    SDL_UpdateWindowSurface(fWindow);
}

int Box::ButtonAt(int x, int y) const
{
    SDL_Point point { x, y };
    for (size_t i = 0; i < fButtons.size(); i++) {
        if (SDL_PointInRect(&point, &fButtons[i].frame))
            return static_cast<int>(i);
    }
    return -1;
}

void Box::KeepForLater(const SDL_Event& event)
{
    if (event.type == SDL_WINDOWEVENT)
        fLater.push_back(event);
}

int Box::Run(const std::function<bool()>& giveUp)
{
    const int defaultButton = static_cast<int>(fButtons.size()) - 1;
    for (;;) {
        SDL_Event event;
        if (SDL_WaitEventTimeout(&event, kPollMillis) != 1 || event.type == SdlVideo::WakeEventType()) {
            if (giveUp && giveUp())
                return 0;
            continue;
        }
        switch (event.type) {
        case SDL_WINDOWEVENT:
            if (event.window.windowID != fWindowId) {
                KeepForLater(event);
                // The instance's own window closed: the box goes with it.
                if (event.window.windowID == fParentId
                    && event.window.event == SDL_WINDOWEVENT_CLOSE)
                    return 0;
            } else if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
                return 0;
            } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED) {
                Draw();
            }
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (event.button.windowID == fWindowId && event.button.button == SDL_BUTTON_LEFT) {
                fPressed = ButtonAt(event.button.x, event.button.y);
                Draw();
            }
            break;
        case SDL_MOUSEBUTTONUP:
            if (event.button.windowID == fWindowId && event.button.button == SDL_BUTTON_LEFT) {
                int released = ButtonAt(event.button.x, event.button.y);
                int pressed = fPressed;
                fPressed = -1;
                if (released >= 0 && released == pressed)
                    return released;
                Draw();
            }
            break;
        case SDL_KEYDOWN: {
            if (event.key.windowID != fWindowId)
                break;
            SDL_Keycode key = event.key.keysym.sym;
            Uint16 modifiers = event.key.keysym.mod;
            if (key == SDLK_RETURN || key == SDLK_KP_ENTER)
                return defaultButton;
            if (key == SDLK_ESCAPE || (key == SDLK_w && (modifiers & KMOD_CTRL) != 0)
                || (key == SDLK_F4 && (modifiers & KMOD_ALT) != 0))
                return 0;
            break;
        }
        default:
            break;
        }
    }
}

} // namespace

int AlertBox::Run(const std::string& title, const std::string& text,
    const std::vector<std::string>& buttons, SDL_Window* parent,
    const std::vector<X11Window::IconImage>& icon, const std::function<bool()>& giveUp)
{
    if (buttons.empty())
        return -1;
    Box box(text, buttons);
    if (!box.Open(title, parent, icon))
        return -1;
    return box.Run(giveUp);
}
