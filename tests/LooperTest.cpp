// BLooper: message order, locking, posting from many threads, and the ways a
// looper ends. Every wait has a deadline so a broken looper fails the test
// instead of hanging it.

#include "Looper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <semaphore>
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

    bool WaitFor(std::function<bool()> done, std::chrono::milliseconds timeout = kDeadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

class RecordingLooper : public BLooper {
public:
    explicit RecordingLooper(Inbox* inbox) : fInbox(inbox) {}
    ~RecordingLooper() override
    {
        std::lock_guard<std::mutex> guard(fInbox->mutex);
        fInbox->destroyed = true;
        fInbox->changed.notify_all();
    }

    void MessageReceived(BMessage* message) override
    {
        if (BeforeEach)
            BeforeEach();
        int32 sender = 0;
        int32 sequence = 0;
        message->FindInt32("sender", &sender);
        message->FindInt32("sequence", &sequence);
        std::lock_guard<std::mutex> guard(fInbox->mutex);
        fInbox->received.emplace_back(sender, sequence);
        fInbox->changed.notify_all();
    }
    bool QuitRequested() override { return AcceptQuit; }

    std::function<void()> BeforeEach;
    std::atomic<bool> AcceptQuit { true };

private:
    Inbox* fInbox;
};

class LooperTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (!fInbox.WaitFor([&] { return fInbox.destroyed; }, 0ms)) {
            fLooper->Lock();
            fLooper->Quit();
        }
    }

    status_t Post(int32 sender, int32 sequence)
    {
        BMessage message(FourCC("TEST"));
        message.AddInt32("sender", sender);
        message.AddInt32("sequence", sequence);
        return fLooper->PostMessage(&message);
    }
    bool WaitForCount(size_t count)
    {
        return fInbox.WaitFor([&] { return fInbox.received.size() == count; });
    }

    Inbox fInbox;
    RecordingLooper* fLooper = new RecordingLooper(&fInbox);
};

} // namespace

TEST_F(LooperTest, MessagesFromEverySenderArriveInPostingOrder)
{
    // Sender 8 queues before the looper runs, eight threads while it does.
    for (int32 i = 0; i < 100; i++)
        ASSERT_EQ(Post(8, i), B_OK);
    fLooper->Run();
    std::vector<std::thread> senders;
    for (int32 sender = 0; sender < 8; sender++) {
        senders.emplace_back([this, sender] {
            // Eight senders can outrun the looper; one that finds the queue
            // full tries again.
            for (int32 i = 0; i < 1000; i++) {
                while (Post(sender, i) == B_WOULD_BLOCK)
                    std::this_thread::yield();
            }
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_TRUE(WaitForCount(8100));
    std::vector<int32> next(9, 0);
    for (auto [sender, sequence] : fInbox.received)
        EXPECT_EQ(sequence, next[sender]++) << "sender " << sender;
    EXPECT_EQ(next, (std::vector<int32> { 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 100 }));
}

TEST_F(LooperTest, PostingReturnsWhileTheLooperIsBusyInAHook)
{
    std::counting_semaphore<1000> entered(0);
    std::counting_semaphore<1000> gate(0);
    fLooper->BeforeEach = [&] {
        entered.release();
        gate.try_acquire_for(kDeadline);
    };
    fLooper->Run();
    Post(0, 0);
    ASSERT_TRUE(entered.try_acquire_for(kDeadline));
    auto start = std::chrono::steady_clock::now();
    for (int32 i = 1; i <= 100; i++)
        ASSERT_EQ(Post(0, i), B_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(fInbox.WaitFor([&] { return fInbox.received.empty(); }, 0ms));
    gate.release(101);
    ASSERT_TRUE(WaitForCount(101));
}

TEST_F(LooperTest, AFullQueueDropsWhatComesButOneQuitAndSaysHowManyWentOnceQuiet)
{
    const int32 limit = static_cast<int32>(BLooper::kMaxQueuedMessages);
    for (int32 i = 0; i < limit + 100; i++)
        ASSERT_EQ(Post(0, i), i < limit ? B_OK : B_WOULD_BLOCK) << i;
    EXPECT_EQ(fLooper->PostMessage(B_QUIT_REQUESTED), B_OK);
    EXPECT_EQ(fLooper->PostMessage(B_QUIT_REQUESTED), B_WOULD_BLOCK);
    // The burst is over once a second passes without a drop.
    std::this_thread::sleep_for(1100ms);
    testing::internal::CaptureStderr();
    fLooper->Run();
    ASSERT_TRUE(fInbox.WaitFor([&] { return fInbox.destroyed; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "gondavel_wubbix: couldn't queue 101 messages for a looper: its queue was full\n");
    EXPECT_EQ(fInbox.received.size(), BLooper::kMaxQueuedMessages);
}

TEST_F(LooperTest, LockNestsAndHoldsOffOtherThreadsAndDispatchUntilFullyUnlocked)
{
    fLooper->Run();
    ASSERT_TRUE(fLooper->Lock());
    ASSERT_TRUE(fLooper->Lock());
    EXPECT_EQ(fLooper->CountLocks(), 2);
    Post(0, 1);
    std::atomic<bool> otherLocked { false };
    std::thread other([&] {
        fLooper->Lock();
        otherLocked = true;
        EXPECT_TRUE(fLooper->IsLocked());
        fLooper->Unlock();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(otherLocked);
    fLooper->Unlock();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(otherLocked);
    EXPECT_TRUE(fInbox.WaitFor([&] { return fInbox.received.empty(); }, 0ms));
    EXPECT_TRUE(fLooper->IsLocked());
    fLooper->Unlock();
    EXPECT_FALSE(fLooper->IsLocked());
    other.join();
    EXPECT_TRUE(otherLocked);
    ASSERT_TRUE(WaitForCount(1));
}

TEST_F(LooperTest, QuitRequestEndsAndDeletesTheLooperOnlyOnceAccepted)
{
    fLooper->AcceptQuit = false;
    fLooper->Run();
    fLooper->PostMessage(B_QUIT_REQUESTED);
    Post(0, 7);
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_FALSE(fInbox.destroyed);
    fLooper->AcceptQuit = true;
    fLooper->PostMessage(B_QUIT_REQUESTED);
    ASSERT_TRUE(fInbox.WaitFor([&] { return fInbox.destroyed; }));
}

TEST_F(LooperTest, QuitFromAnotherThreadHoldingTheLockReturnsOnceTheLooperIsGone)
{
    fLooper->Run();
    Post(0, 0);
    ASSERT_TRUE(fLooper->Lock());
    ASSERT_TRUE(fLooper->Lock());
    fLooper->Quit();
    EXPECT_TRUE(fInbox.WaitFor([&] { return fInbox.destroyed; }, 0ms));
}

TEST_F(LooperTest, QuitFromItsOwnHookDeletesItAfterTheHookReturns)
{
    std::atomic<bool> hookFinished { false };
    fLooper->BeforeEach = [&] {
        fLooper->Quit();
        EXPECT_FALSE(fInbox.destroyed);
        hookFinished = true;
    };
    fLooper->Run();
    Post(0, 0);
    ASSERT_TRUE(fInbox.WaitFor([&] { return fInbox.destroyed; }));
    EXPECT_TRUE(hookFinished);
}
