#include "Window.h"

#include "MotionSetting.h"
#include "PresentPacer.h"
#include "View.h"
#include "WindowList.h"

BWindow::BWindow(BRect frame, const char* title, window_type type, uint32, uint32)
    : BLooper(title),
      fFrame(frame),
      fTitle(title != nullptr ? title : ""),
      fType(type),
      fPacer(std::make_unique<PresentPacer>())
{
    // A window run by hand has no desktop to ask; a modal window is never
    // held back.
    fPacer->SetCalm(type != B_MODAL_WINDOW && MotionSetting::FromEnvironment().value_or(false));
    // A modal window belongs to the thread that runs it, not to the
    // application.
    fSerial = type != B_MODAL_WINDOW ? WindowList::Add(this) : 0;
}

BWindow::~BWindow()
{
    for (BView* view : fViews)
        delete view;
    fViews.clear();
    if (fSerial != 0)
        WindowList::RemoveUnshown(fSerial);
}

void BWindow::Show()
{
    if (fType == B_MODAL_WINDOW || fShown.exchange(true))
        return;
    WindowList::StartThread(fSerial, [this, serial = fSerial] { ThreadMain(this, serial); });
}

bool BWindow::HasThread() const
{
    // A modal window has the thread that runs it while it is open.
    return fShown || fDisplayOpen;
}

std::function<void()> BWindow::TakeThreadWaiter()
{
    return [serial = fSerial] { WindowList::WaitForThread(serial); };
}

thread_id BWindow::Run()
{
    if (fShown || fType == B_MODAL_WINDOW)
        return B_ERROR;
    Show();
    return NextThreadId();
}

bool BWindow::IsHidden() const
{
    return !fShown;
}

bool BWindow::QuitRequested()
{
    return true;
}

void BWindow::MessageReceived(BMessage*)
{
}

void BWindow::AddChild(BView* view)
{
    if (view == nullptr)
        return;
    fViews.push_back(view);
    view->fWindow = this;
    view->SetLooper(this);
    view->AttachedToWindow();
    view->Invalidate();
}

void BWindow::SetPulseRate(bigtime_t rate)
{
    fPulseRate = rate > 0 ? rate : 0;
    Wake();
}

bigtime_t BWindow::PulseRate() const
{
    return fPulseRate;
}

void BWindow::MessageQueued()
{
    BLooper::MessageQueued();
    Wake();
}
