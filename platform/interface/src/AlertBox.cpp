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

void Fill(SDL_Surface* surface, const SDL_Rect& rect, SDL_Color color)
{
    SDL_FillRect(surface, &rect, SDL_MapRGB(surface->format, color.r, color.g, color.b));
}

} // namespace

// The box's text and buttons, rendered, and where they go.
struct AlertBox::Layout {
    std::vector<Surface> lines;
    std::vector<Button> buttons;
    int width = 0;
    int height = 0;
    int lineSkip = 0;
    // Pixels a unit is across, and the spacing in pixels.
    int scale = SdlVideo::Scale();
    int padding = kPadding * scale;
};

AlertBox::AlertBox(const std::string& text, const std::vector<std::string>& buttons)
    : fLayout(std::make_unique<Layout>())
{
    Layout& layout = *fLayout;
    int scale = layout.scale;
    layout.lineSkip = std::max(Font::LineSkip(), (Font::kPixelSize + 2) * scale);
    int textWidth = 0;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        // An empty line renders as nothing, but takes its place.
        layout.lines.emplace_back(Font::Render(line.c_str(), kText));
        if (layout.lines.back() != nullptr)
            textWidth = std::max(textWidth, layout.lines.back()->w);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }

    int buttonHeight = layout.lineSkip + 2 * kButtonTextMargin * scale;
    int buttonsWidth = 0;
    for (const std::string& label : buttons) {
        Button button;
        button.label.reset(Font::Render(label.c_str(), kText));
        int labelWidth = button.label != nullptr ? button.label->w : 0;
        button.frame.w = std::max(kButtonMinWidth * scale, labelWidth + 2 * kButtonTextPadding * scale);
        button.frame.h = buttonHeight;
        buttonsWidth += button.frame.w + (layout.buttons.empty() ? 0 : kButtonGap * scale);
        layout.buttons.push_back(std::move(button));
    }

    layout.width = std::max(textWidth, buttonsWidth) + 2 * layout.padding;
    int textHeight = static_cast<int>(layout.lines.size()) * layout.lineSkip;
    layout.height = layout.padding + textHeight + layout.padding + buttonHeight + layout.padding;
    // The buttons sit at the bottom right, in order, the default last.
    int x = layout.width - layout.padding - buttonsWidth;
    for (Button& button : layout.buttons) {
        button.frame.x = x;
        button.frame.y = layout.height - layout.padding - buttonHeight;
        x += button.frame.w + kButtonGap * scale;
    }
}

AlertBox::~AlertBox()
{
    if (fWindow == nullptr)
        return;
    X11Window::PrepareDestroy(fWindow);
    SDL_DestroyWindow(fWindow);
}

Result<> AlertBox::Open(const std::string& title, SDL_Window* parent,
    const std::vector<X11Window::IconImage>& icon, const std::function<bool()>& giveUp)
{
    const Layout& layout = *fLayout;
    if (layout.buttons.empty())
        return Error { B_BAD_VALUE, "the alert has no button" };
    int x = SDL_WINDOWPOS_CENTERED;
    int y = SDL_WINDOWPOS_CENTERED;
    if (parent != nullptr) {
        // Centred over the parent, and on its display.
        int left = 0, top = 0, width = 0, height = 0;
        SDL_GetWindowPosition(parent, &left, &top);
        SDL_GetWindowSize(parent, &width, &height);
        x = left + width / 2 - layout.width / 2;
        y = top + height / 2 - layout.height / 2;
        SDL_Rect display;
        int index = SDL_GetWindowDisplayIndex(parent);
        if (index >= 0 && SDL_GetDisplayBounds(index, &display) == 0) {
            x = std::clamp(x, display.x, std::max(display.x, display.x + display.w - layout.width));
            y = std::clamp(y, display.y, std::max(display.y, display.y + display.h - layout.height));
        }
    }
    fWindow = SDL_CreateWindow(title.c_str(), x, y, layout.width, layout.height, SDL_WINDOW_HIDDEN);
    if (fWindow == nullptr)
        return Error { B_ERROR, SDL_GetError() };
    fWindowId = SDL_GetWindowID(fWindow);
    fX11Id = X11Window::Id(fWindow);
    X11Window::SetIcon(fWindow, icon);
    if (parent != nullptr)
        SDL_SetWindowModalFor(fWindow, parent);
    X11Window::Show(fWindow, giveUp);
    SDL_RaiseWindow(fWindow);
    if (SDL_GetWindowSurface(fWindow) == nullptr)
        return Error { B_ERROR, SDL_GetError() };
    Draw();
    return {};
}

void AlertBox::Draw()
{
    SDL_Surface* surface = SDL_GetWindowSurface(fWindow);
    if (surface == nullptr)
        return;
    const Layout& layout = *fLayout;
    Fill(surface, SDL_Rect { 0, 0, surface->w, surface->h }, kBackground);
    int y = layout.padding;
    for (const Surface& line : layout.lines) {
        if (line != nullptr) {
            SDL_Rect where { layout.padding, y, line->w, line->h };
            SDL_BlitSurface(line.get(), nullptr, surface, &where);
        }
        y += layout.lineSkip;
    }
    for (size_t i = 0; i < layout.buttons.size(); i++) {
        const Button& button = layout.buttons[i];
        // The default button's edge is drawn twice as thick.
        int edge = (i + 1 == layout.buttons.size() ? 2 : 1) * layout.scale;
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

int AlertBox::ButtonAt(int x, int y) const
{
    SDL_Point point { x, y };
    for (size_t i = 0; i < fLayout->buttons.size(); i++) {
        if (SDL_PointInRect(&point, &fLayout->buttons[i].frame))
            return static_cast<int>(i);
    }
    return -1;
}

bool AlertBox::Owns(const SDL_Event& event) const
{
    if (fWindow == nullptr)
        return false;
    switch (event.type) {
    case SDL_WINDOWEVENT:
        return event.window.windowID == fWindowId;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        return event.button.windowID == fWindowId;
    case SDL_KEYDOWN:
        return event.key.windowID == fWindowId;
    case SDL_SYSWMEVENT:
        return X11Window::IsDestroyNotify(event, fX11Id);
    default:
        return false;
    }
}

void AlertBox::HandleEvent(const SDL_Event& event)
{
    if (IsDone() || !Owns(event))
        return;
    const int defaultButton = static_cast<int>(fLayout->buttons.size()) - 1;
    switch (event.type) {
    case SDL_SYSWMEVENT:
        // Destroyed by another client: as good as closed.
        fResult = 0;
        break;
    case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_CLOSE)
            fResult = 0;
        else if (event.window.event == SDL_WINDOWEVENT_EXPOSED)
            Draw();
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) {
            fPressed = ButtonAt(event.button.x, event.button.y);
            Draw();
        }
        break;
    case SDL_MOUSEBUTTONUP:
        if (event.button.button == SDL_BUTTON_LEFT) {
            int released = ButtonAt(event.button.x, event.button.y);
            int pressed = fPressed;
            fPressed = -1;
            if (released >= 0 && released == pressed)
                fResult = released;
            else
                Draw();
        }
        break;
    case SDL_KEYDOWN: {
        SDL_Keycode key = event.key.keysym.sym;
        Uint16 modifiers = event.key.keysym.mod;
        if (key == SDLK_RETURN || key == SDLK_KP_ENTER)
            fResult = defaultButton;
        else if (key == SDLK_ESCAPE || (key == SDLK_w && (modifiers & KMOD_CTRL) != 0)
            || (key == SDLK_F4 && (modifiers & KMOD_ALT) != 0))
            fResult = 0;
        break;
    }
    default:
        break;
    }
}

int AlertBox::RunAlone()
{
    while (!IsDone()) {
        SDL_Event event;
        if (SDL_WaitEvent(&event) != 1)
            return 0;
        SdlVideo::EndIfLost(event);
        HandleEvent(event);
    }
    return fResult;
}
