#pragma once

// BLooper: a handler with a message queue and a thread that empties it.
// Run() starts the thread; each message is dispatched on it, in the order it
// was posted, with the looper locked: B_QUIT_REQUESTED asks QuitRequested()
// and quits when it says yes, everything else goes to MessageReceived().
// The looper lets go of each message once its hook returns, so a sender
// waiting for a reply the hook didn't send learns so at once.
//
// PostMessage() is safe from any thread and never waits for the looper. The
// queue holds at most kMaxQueuedMessages: while it is full, what comes is
// dropped and counted (a quit request still gets in, unless one waits), and
// once a second has passed without a drop, one line on stderr says how
// many went in that burst; within 10 s of such a line, further bursts are
// added up and said together once the 10 s have passed (with the next
// message taken, or when the looper goes).
// Lock()/Unlock() are safe from any thread and nest; while another thread
// holds the lock, the looper dispatches nothing. Quit() ends the looper and
// deletes it (loopers that quit are created with new): from the looper's own
// thread the deletion follows once the current hook returns; from another
// thread Quit() waits for the looper's thread, whatever locks the caller
// holds. Don't delete a running looper directly.

#include "Handler.h"
#include "Message.h"
#include "SupportDefs.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

using thread_id = int32;

class BLooper : public BHandler {
public:
    static constexpr size_t kMaxQueuedMessages = 1024;

    explicit BLooper(const char* name = nullptr);
    ~BLooper() override;

    // Starts the looper's thread. Returns a positive id, or B_ERROR if the
    // looper already runs.
    virtual thread_id Run();
    virtual void Quit();

    status_t PostMessage(uint32 what);
    // Queues a copy of `message`; the looper itself handles it (`handler`
    // and `replyTo` are accepted for callers that name one). B_WOULD_BLOCK
    // when the queue is full and the message was dropped.
    status_t PostMessage(BMessage* message, BHandler* handler = nullptr,
        BHandler* replyTo = nullptr);

    bool Lock();
    void Unlock();
    // Whether the calling thread holds the lock.
    bool IsLocked() const;
    // How many times the calling thread holds the lock (0 if it doesn't).
    int32 CountLocks() const;

    // Called on the looper's thread for B_QUIT_REQUESTED. The default says
    // yes.
    virtual bool QuitRequested();
    // Turns one message into a hook call; runs with the looper locked.
    virtual void DispatchMessage(BMessage* message, BHandler* handler);

    // The number of messages waiting.
    int32 CountQueuedMessages() const;

protected:
    // For loopers that run their own loop: called from the posting thread
    // once a message has been queued or Quit() has been asked for, with the
    // queue's mutex held, so it must not call back into the looper. The
    // default wakes the thread started by Run().
    virtual void MessageQueued();
    // Takes the oldest queued message; false when there is none.
    bool TakeNextMessage(BMessage* message);
    // Takes the oldest queued B_QUIT_REQUESTED, leaving the others queued;
    // false when none waits.
    bool TakeQuitRequest(BMessage* message);
    // Waits, holding no lock, until a message is queued or `deadline`
    // (system_time() microseconds; negative: no deadline) passes.
    void WaitForMessage(bigtime_t deadline);

    // Releases every hold the calling thread has on the lock and returns how
    // many there were.
    int32 ReleaseAllLocks();

    // True once Quit() has ended (or is ending) the loop.
    bool IsQuitting() const;
    void SetQuitting();
    // Whether the calling thread is the looper's own thread.
    bool IsLooperThread() const;
    void SetLooperThread(std::thread::id id);

    static thread_id NextThreadId();

    // Whether the looper's thread has started; Quit() deletes a looper
    // without one at once.
    virtual bool HasThread() const;
    // What Quit() calls to wait for the thread to end, taken before the
    // thread may delete the looper.
    virtual std::function<void()> TakeThreadWaiter();

private:
    friend class WindowList;

    // The thread started by Run(); true when the looper should be deleted.
    bool Loop();
    // Reports the messages dropped since the last report.
    void ReportDropped(uint64 dropped) const;

    mutable std::mutex fQueueMutex;
    std::condition_variable fQueueChanged;
    std::deque<BMessage> fQueue;
    // Messages dropped and not yet said, when the last one was, and when
    // drops were last said.
    uint64 fDropped = 0;
    bigtime_t fLastDrop = 0;
    bigtime_t fLastReport = 0;
    bool fQuitting = false;
    bool fDeletedByOwner = false;

    mutable std::mutex fLockMutex;
    std::condition_variable fLockReleased;
    std::thread::id fOwner;
    int32 fLockCount = 0;

    std::thread fThread;
    std::thread::id fLooperThread;
};
