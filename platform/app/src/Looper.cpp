#include "Looper.h"

#include "Clock.h"
#include "Report.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

namespace {

constexpr bigtime_t kDropBurstGap = 1000000;
// Senders can make burst after burst: after a line, what is dropped is
// added up and said no sooner than this.
constexpr bigtime_t kDropReportInterval = 10000000;

} // namespace

BLooper::BLooper(const char* name)
    : BHandler(name)
{
    SetLooper(this);
}

BLooper::~BLooper()
{
    if (fDropped > 0)
        ReportDropped(fDropped);
    // A looper normally ends through Quit(); this only keeps a looper that
    // was deleted while running from leaving its thread behind.
    if (fThread.joinable()) {
        if (fThread.get_id() == std::this_thread::get_id()) {
            fThread.detach();
        } else {
            {
                std::lock_guard<std::mutex> guard(fQueueMutex);
                fDeletedByOwner = true;
            }
            SetQuitting();
            fThread.join();
        }
    }
}

thread_id BLooper::Run()
{
    if (fThread.joinable())
        return B_ERROR;
    fThread = std::thread([this] {
        if (Loop())
            delete this;
    });
    return NextThreadId();
}

bool BLooper::Loop()
{
    SetLooperThread(std::this_thread::get_id());
    while (!IsQuitting()) {
        // A message goes as soon as it has been handled: a sender waiting
        // for a reply the hook didn't give learns it at once.
        BMessage message;
        if (!TakeNextMessage(&message)) {
            WaitForMessage(-1);
            continue;
        }
        Lock();
        DispatchMessage(&message, this);
        Unlock();
    }
    // Quit() ended the loop: the looper goes away with its thread, unless
    // its destructor is what stopped the thread.
    std::lock_guard<std::mutex> guard(fQueueMutex);
    return !fDeletedByOwner;
}

void BLooper::Quit()
{
    if (!HasThread()) {
        delete this;
        return;
    }
    if (IsLooperThread()) {
        SetQuitting();
        return;
    }
    // Ask the thread to stop, let it finish the hook it may be waiting to
    // lock for, then wait for it. The thread deletes the looper on its way
    // out: from here on `this` may be gone.
    std::function<void()> waitForThread = TakeThreadWaiter();
    ReleaseAllLocks();
    SetQuitting();
    waitForThread();
}

bool BLooper::HasThread() const
{
    return fThread.joinable();
}

std::function<void()> BLooper::TakeThreadWaiter()
{
    // The thread must not find the std::thread still joinable when it
    // deletes the looper: take it.
    return [thread = std::make_shared<std::thread>(std::move(fThread))] { thread->join(); };
}

status_t BLooper::PostMessage(uint32 what)
{
    BMessage message(what);
    return PostMessage(&message);
}

status_t BLooper::PostMessage(BMessage* message, BHandler*, BHandler*)
{
    if (message == nullptr)
        return B_BAD_VALUE;
    // The wake-up happens under the queue's mutex: once the looper's thread
    // can see the message it may quit and delete the looper.
    std::lock_guard<std::mutex> guard(fQueueMutex);
    if (fQueue.size() >= kMaxQueuedMessages) {
        bool quitWaits = std::any_of(fQueue.begin(), fQueue.end(),
            [](const BMessage& queued) { return queued.what == B_QUIT_REQUESTED; });
        if (message->what != B_QUIT_REQUESTED || quitWaits) {
            fDropped++;
            fLastDrop = system_time();
            return B_WOULD_BLOCK;
        }
    }
    fQueue.push_back(*message);
    MessageQueued();
    return B_OK;
}

void BLooper::ReportDropped(uint64 dropped) const
{
    ReportFailure("queue " + std::to_string(dropped) + (dropped == 1 ? " message" : " messages")
            + " for " + (Name() != nullptr && Name()[0] != '\0' ? Name() : "a looper"),
        "its queue was full");
}

void BLooper::MessageQueued()
{
    fQueueChanged.notify_one();
}

bool BLooper::TakeNextMessage(BMessage* message)
{
    uint64 dropped = 0;
    {
        std::lock_guard<std::mutex> guard(fQueueMutex);
        if (fQueue.empty())
            return false;
        *message = std::move(fQueue.front());
        fQueue.pop_front();
        // A burst ends after a second without a drop.
        bigtime_t now = system_time();
        if (fDropped > 0 && now - fLastDrop >= kDropBurstGap
            && (fLastReport == 0 || now - fLastReport >= kDropReportInterval)) {
            dropped = fDropped;
            fDropped = 0;
            fLastReport = now;
        }
    }
    if (dropped > 0)
        ReportDropped(dropped);
    return true;
}

bool BLooper::TakeQuitRequest(BMessage* message)
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    auto quit = std::find_if(fQueue.begin(), fQueue.end(),
        [](const BMessage& queued) { return queued.what == B_QUIT_REQUESTED; });
    if (quit == fQueue.end())
        return false;
    *message = std::move(*quit);
    fQueue.erase(quit);
    return true;
}

void BLooper::WaitForMessage(bigtime_t deadline)
{
    std::unique_lock<std::mutex> lock(fQueueMutex);
    auto ready = [this] { return !fQueue.empty() || fQuitting; };
    if (deadline < 0) {
        fQueueChanged.wait(lock, ready);
        return;
    }
    bigtime_t remaining = deadline - system_time();
    if (remaining > 0)
        fQueueChanged.wait_for(lock, std::chrono::microseconds(remaining), ready);
}

int32 BLooper::CountQueuedMessages() const
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    return static_cast<int32>(fQueue.size());
}

bool BLooper::Lock()
{
    std::unique_lock<std::mutex> lock(fLockMutex);
    std::thread::id self = std::this_thread::get_id();
    if (fLockCount > 0 && fOwner == self) {
        fLockCount++;
        return true;
    }
    fLockReleased.wait(lock, [this] { return fLockCount == 0; });
    fOwner = self;
    fLockCount = 1;
    return true;
}

void BLooper::Unlock()
{
    std::lock_guard<std::mutex> guard(fLockMutex);
    if (fLockCount == 0 || fOwner != std::this_thread::get_id())
        return;
    if (--fLockCount == 0) {
        fOwner = std::thread::id();
        fLockReleased.notify_one();
    }
}

bool BLooper::IsLocked() const
{
    return CountLocks() > 0;
}

int32 BLooper::CountLocks() const
{
    std::lock_guard<std::mutex> guard(fLockMutex);
    return fLockCount > 0 && fOwner == std::this_thread::get_id() ? fLockCount : 0;
}

int32 BLooper::ReleaseAllLocks()
{
    std::lock_guard<std::mutex> guard(fLockMutex);
    if (fLockCount == 0 || fOwner != std::this_thread::get_id())
        return 0;
    int32 count = fLockCount;
    fLockCount = 0;
    fOwner = std::thread::id();
    fLockReleased.notify_one();
    return count;
}

bool BLooper::QuitRequested()
{
    return true;
}

void BLooper::DispatchMessage(BMessage* message, BHandler*)
{
    if (message->what == B_QUIT_REQUESTED) {
        if (QuitRequested())
            Quit();
        return;
    }
    MessageReceived(message);
}

bool BLooper::IsQuitting() const
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    return fQuitting;
}

void BLooper::SetQuitting()
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    fQuitting = true;
    fQueueChanged.notify_all();
    MessageQueued();
}

bool BLooper::IsLooperThread() const
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    return fLooperThread == std::this_thread::get_id();
}

void BLooper::SetLooperThread(std::thread::id id)
{
    std::lock_guard<std::mutex> guard(fQueueMutex);
    fLooperThread = id;
}

thread_id BLooper::NextThreadId()
{
    static std::atomic<thread_id> next { 1 };
    return next++;
}
