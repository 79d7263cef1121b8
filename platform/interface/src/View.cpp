#include "View.h"

#include "ViewDrawing.h"
#include "Window.h"

#include <algorithm>

BView::BView(BRect frame, const char* name, uint32 resizingMode, uint32 flags)
    : BHandler(name),
      fFrame(frame),
      fResizingMode(resizingMode),
      fFlags(flags),
      fDrawing(std::make_unique<ViewDrawing>())
{
}

BView::~BView() = default;

void BView::AttachedToWindow()
{
}

void BView::Draw(BRect)
{
}

void BView::MouseDown(BPoint)
{
}

void BView::MouseUp(BPoint)
{
}

void BView::KeyDown(const char*, int32)
{
}

void BView::Pulse()
{
}

void BView::MakeFocus(bool focus)
{
    if (fWindow == nullptr)
        return;
    if (focus)
        fWindow->fFocus = this;
    else if (fWindow->fFocus == this)
        fWindow->fFocus = nullptr;
}

bool BView::LockLooper()
{
    return fWindow != nullptr && fWindow->Lock();
}

void BView::UnlockLooper()
{
    if (fWindow != nullptr)
        fWindow->Unlock();
}

void BView::Invalidate()
{
    Invalidate(Bounds());
}

void BView::Invalidate(BRect rect)
{
    if (!rect.IsValid())
        return;
    if (fDirty.IsValid()) {
        rect = BRect(std::min(rect.left, fDirty.left), std::min(rect.top, fDirty.top),
            std::max(rect.right, fDirty.right), std::max(rect.bottom, fDirty.bottom));
    }
    fDirty = rect;
    if (fWindow != nullptr)
        fWindow->Wake();
}

void BView::DrawString(const char* text)
{
    fPen.x += fDrawing->DrawString(text, fHighColor, fPen);
}

float BView::StringWidth(const char* text) const
{
    return fDrawing->StringWidth(text);
}

void BView::FillRect(BRect rect)
{
    fDrawing->FillRect(rect, fHighColor);
}
