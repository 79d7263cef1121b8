// BLooper: message order, locking, posting from many threads, and the ways a
// looper ends. Every wait has a deadline so a broken looper fails the test
// instead of hanging it.

#include "platform/Looper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

// Records what its looper receives, so the test thread can wait for it.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int32, int32>> received; // (sender, sequence number)
    bool destroyed = false;

    bool WaitFor(std::function<bool()> done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDeadline, done);
    }
};

class RecordingLooper : public BLooper {
public:
    explicit RecordingLooper(Inbox* inbox, bool acceptQuit = true)
        : fInbox(inbox), fAcceptQuit(acceptQuit) {}
    ~RecordingLooper() override
    {
        std::lock_guard<std::mutex> guard(fInbox->mutex);
        fInbox->destroyed = true;
        fInbox->changed.notify_all();
    }

    void MessageReceived(BMessage* message) override
    {
        if (BeforeEach)
            BeforeEach(message);
        int32 sender = 0;
        int32 sequence = 0;
        message->FindInt32("sender", &sender);
        message->FindInt32("sequence", &sequence);
        std::lock_guard<std::mutex> guard(fInbox->mutex);
        fInbox->received.emplace_back(sender, sequence);
        fInbox->changed.notify_all();
    }
    bool QuitRequested() override { return fAcceptQuit; }

    std::function<void(BMessage*)> BeforeEach;

private:
    Inbox* fInbox;
    bool fAcceptQuit;
};

status_t Post(BLooper* looper, int32 sender, int32 sequence)
{
    BMessage message(FourCC("TEST"));
    message.AddInt32("sender", sender);
    message.AddInt32("sequence", sequence);
    return looper->PostMessage(&message);
}

void QuitAndWait(BLooper* looper, Inbox* inbox)
{
    looper->Lock();
    looper->Quit();
    ASSERT_TRUE(inbox->WaitFor([&] { return inbox->destroyed; }));
}

} // namespace

TEST(LooperMessages, ArriveInPostingOrder)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    for (int32 i = 0; i < 100; i++)
        ASSERT_EQ(Post(looper, 0, i), B_OK);
    looper->Run();
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.received.size() == 100; }));
    for (int32 i = 0; i < 100; i++)
        EXPECT_EQ(inbox.received[i].second, i);
    QuitAndWait(looper, &inbox);
}

TEST(LooperMessages, FromEightThreadsAllArriveEachInItsOwnOrder)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    looper->Run();
    std::vector<std::thread> senders;
    for (int32 sender = 0; sender < 8; sender++) {
        senders.emplace_back([looper, sender] {
            for (int32 i = 0; i < 1000; i++)
                Post(looper, sender, i);
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.received.size() == 8000; }));
    std::vector<int32> next(8, 0);
    for (auto [sender, sequence] : inbox.received)
        EXPECT_EQ(sequence, next[sender]++) << "sender " << sender;
    EXPECT_EQ(next, std::vector<int32>(8, 1000));
    QuitAndWait(looper, &inbox);
}

TEST(LooperMessages, PostingReturnsWhileTheLooperIsBusyInAHook)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool inHook = false;
    bool open = false;
    looper->BeforeEach = [&](BMessage*) {
        std::unique_lock<std::mutex> lock(gateMutex);
        inHook = true;
        gateChanged.notify_all();
        gateChanged.wait_for(lock, kDeadline, [&] { return open; });
    };
    looper->Run();
    Post(looper, 0, 0);
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, kDeadline, [&] { return inHook; }));
    }
    // The hook holds the looper's thread; posting must not wait for it.
    auto start = std::chrono::steady_clock::now();
    for (int32 i = 1; i <= 100; i++)
        ASSERT_EQ(Post(looper, 0, i), B_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    {
        std::lock_guard<std::mutex> guard(inbox.mutex);
        EXPECT_TRUE(inbox.received.empty());
    }
    {
        std::lock_guard<std::mutex> guard(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.received.size() == 101; }));
    QuitAndWait(looper, &inbox);
}

TEST(LooperLocking, NestsAndHoldsOffOtherThreadsUntilFullyUnlocked)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    ASSERT_TRUE(looper->Lock());
    ASSERT_TRUE(looper->Lock());
    EXPECT_TRUE(looper->IsLocked());
    EXPECT_EQ(looper->CountLocks(), 2);

    std::atomic<bool> otherLocked { false };
    std::thread other([&] {
        looper->Lock();
        otherLocked = true;
        EXPECT_TRUE(looper->IsLocked());
        looper->Unlock();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(otherLocked);
    looper->Unlock();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(otherLocked);
    EXPECT_TRUE(looper->IsLocked());
    looper->Unlock();
    EXPECT_FALSE(looper->IsLocked());
    other.join();
    EXPECT_TRUE(otherLocked);
    looper->Quit();
    EXPECT_TRUE(inbox.destroyed);
}

TEST(LooperLocking, HeldLockHoldsBackDispatch)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    looper->Run();
    looper->Lock();
    Post(looper, 0, 1);
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> guard(inbox.mutex);
        EXPECT_TRUE(inbox.received.empty());
    }
    looper->Unlock();
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.received.size() == 1; }));
    QuitAndWait(looper, &inbox);
}

TEST(LooperQuitting, RefusedQuitRequestKeepsTheLooperRunning)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox, false);
    looper->Run();
    looper->PostMessage(B_QUIT_REQUESTED);
    Post(looper, 0, 7);
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.received.size() == 1; }));
    EXPECT_FALSE(inbox.destroyed);
    QuitAndWait(looper, &inbox);
}

TEST(LooperQuitting, AcceptedQuitRequestEndsAndDeletesTheLooper)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    looper->Run();
    looper->PostMessage(B_QUIT_REQUESTED);
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.destroyed; }));
}

TEST(LooperQuitting, QuitFromAnotherThreadReturnsOnceTheLooperIsGone)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    looper->Run();
    Post(looper, 0, 0);
    ASSERT_TRUE(looper->Lock());
    ASSERT_TRUE(looper->Lock());
    looper->Quit();
    std::lock_guard<std::mutex> guard(inbox.mutex);
    EXPECT_TRUE(inbox.destroyed);
}

TEST(LooperQuitting, QuitFromItsOwnHookDeletesItAfterTheHookReturns)
{
    Inbox inbox;
    auto* looper = new RecordingLooper(&inbox);
    std::atomic<bool> hookFinished { false };
    looper->BeforeEach = [&](BMessage*) {
        looper->Quit();
        EXPECT_FALSE(inbox.destroyed);
        hookFinished = true;
    };
    looper->Run();
    Post(looper, 0, 0);
    ASSERT_TRUE(inbox.WaitFor([&] { return inbox.destroyed; }));
    EXPECT_TRUE(hookFinished);
}
