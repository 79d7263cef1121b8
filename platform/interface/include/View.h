#pragma once

// BView: a rectangle of a window that draws itself and takes clicks. Hooks
// (Draw, MouseDown, Pulse, AttachedToWindow) run on the window's thread with
// the window locked. Every other call needs the window lock too once the
// view has been added to a window (LockLooper() takes it); before that the
// view is an ordinary object of the creating thread.
//
// Drawing happens only inside Draw(): the window clears the dirty area to
// the view colour and then calls Draw(); Invalidate() asks for that.

#include "GraphicsDefs.h"
#include "Handler.h"
#include "InterfaceDefs.h"
#include "Rect.h"

#include <memory>

class BWindow;
struct ViewDrawing;

class BView : public BHandler {
public:
    BView(BRect frame, const char* name, uint32 resizingMode, uint32 flags);
    ~BView() override;

    virtual void AttachedToWindow();
    // `updateRect` is the area to redraw, in view coordinates.
    virtual void Draw(BRect updateRect);
    // `where` is in view coordinates. The view a button went down on is
    // told when it comes up, wherever that is.
    virtual void MouseDown(BPoint where);
    virtual void MouseUp(BPoint where);
    // A key pressed while the view is the window's focus: `bytes` is what it
    // sends (B_ENTER, B_ESCAPE); other keys are not passed on.
    virtual void KeyDown(const char* bytes, int32 numBytes);
    // Called at the window's pulse rate when the view has B_PULSE_NEEDED.
    virtual void Pulse();

    BWindow* Window() const { return fWindow; }
    // Locks the window; false, with nothing locked, when there is none.
    bool LockLooper();
    void UnlockLooper();

    // The frame in the window's coordinates, and the same rectangle moved to
    // (0, 0).
    BRect Frame() const { return fFrame; }
    BRect Bounds() const { return fFrame.OffsetToCopy(BPoint(0, 0)); }
    uint32 Flags() const { return fFlags; }
    uint32 ResizingMode() const { return fResizingMode; }

    // Makes the view the one its window tells of keys, or no longer.
    void MakeFocus(bool focus = true);

    void SetViewColor(rgb_color color) { fViewColor = color; }
    void SetHighColor(rgb_color color) { fHighColor = color; }
    void SetLowColor(rgb_color color) { fLowColor = color; }
    rgb_color ViewColor() const { return fViewColor; }
    rgb_color HighColor() const { return fHighColor; }
    rgb_color LowColor() const { return fLowColor; }

    // Marks the whole view, or `rect` of it (view coordinates), for
    // redrawing and wakes the window's thread.
    void Invalidate();
    void Invalidate(BRect rect);

    void MovePenTo(BPoint where) { fPen = where; }
    BPoint PenLocation() const { return fPen; }
    // Draws `text` in the default font and the high colour, its baseline
    // starting at the pen, clipped to the view, and moves the pen past it.
    // Only has an effect inside Draw().
    void DrawString(const char* text);
    // The width `text` takes in the default font, in units.
    float StringWidth(const char* text) const;
    // Fills `rect` (view coordinates, both edges included) with the high
    // colour. Only has an effect inside Draw().
    void FillRect(BRect rect);

private:
    friend class BWindow;
    friend class ViewDrawing;

    // `where` in the window's coordinates, in the view's.
    BPoint FromWindow(BPoint where) const { return BPoint(where.x - fFrame.left, where.y - fFrame.top); }

    BRect fFrame;
    uint32 fResizingMode;
    uint32 fFlags;
    BWindow* fWindow = nullptr;
    rgb_color fViewColor { 216, 216, 216, 255 };
    rgb_color fHighColor { 0, 0, 0, 255 };
    rgb_color fLowColor { 216, 216, 216, 255 };
    BPoint fPen;
    // The part waiting to be redrawn, in view coordinates; invalid when
    // there is none.
    BRect fDirty;
    // The window's drawing state while Draw() runs, and rendered text.
    std::unique_ptr<ViewDrawing> fDrawing;
};
