#include "WindowList.h"

#include "Looper.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

struct WindowRecord {
    uint64 serial;
    BLooper* window; // nullptr once the window is being deleted
    std::thread thread;
    bool shown = false;
    bool ended = false; // the thread has run its course and only needs joining
};

using Deadline = std::chrono::steady_clock::time_point;

std::mutex gWindowsMutex;
std::condition_variable gWindowsChanged;
std::list<WindowRecord> gWindows;
uint64 gNextSerial = 1;

std::list<WindowRecord>::iterator FindRecord(uint64 serial)
{
    for (auto it = gWindows.begin(); it != gWindows.end(); ++it) {
        if (it->serial == serial)
            return it;
    }
    return gWindows.end();
}

// Waits until the window's thread has ended, or `deadline` passes; true
// once it has ended and been joined, by this caller or another.
bool JoinThread(uint64 serial, std::optional<Deadline> deadline)
{
    std::unique_lock<std::mutex> lock(gWindowsMutex);
    // Gone, or ended and not yet taken by another caller to join.
    auto joinable = [serial] {
        auto it = FindRecord(serial);
        return it == gWindows.end() || (it->ended && it->thread.joinable());
    };
    if (!deadline)
        gWindowsChanged.wait(lock, joinable);
    else if (!gWindowsChanged.wait_until(lock, *deadline, joinable))
        return false;
    auto it = FindRecord(serial);
    if (it == gWindows.end())
        return true;
    std::thread thread = std::move(it->thread);
    lock.unlock();
    thread.join();
    lock.lock();
    it = FindRecord(serial);
    if (it != gWindows.end())
        gWindows.erase(it);
    gWindowsChanged.notify_all();
    return true;
}

void MarkEnded(uint64 serial)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(serial);
    if (it != gWindows.end())
        it->ended = true;
    gWindowsChanged.notify_all();
}

} // namespace

uint64 WindowList::Add(BLooper* window)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    uint64 serial = gNextSerial++;
    gWindows.push_back(WindowRecord { serial, window, std::thread(), false });
    return serial;
}

void WindowList::RemoveUnshown(uint64 serial)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(serial);
    if (it != gWindows.end() && !it->shown)
        gWindows.erase(it);
}

void WindowList::StartThread(uint64 serial, std::function<void()> body)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(serial);
    it->shown = true;
    it->thread = std::thread([serial, body = std::move(body)] {
        body();
        MarkEnded(serial);
    });
}

void WindowList::Forget(uint64 serial)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    auto it = FindRecord(serial);
    if (it != gWindows.end())
        it->window = nullptr;
}

void WindowList::WaitForThread(uint64 serial)
{
    JoinThread(serial, std::nullopt);
}

Result<> WindowList::QuitAll()
{
    std::vector<BLooper*> neverShown;
    std::vector<uint64> running;
    {
        std::lock_guard<std::mutex> guard(gWindowsMutex);
        for (WindowRecord& record : gWindows) {
            if (!record.shown) {
                neverShown.push_back(record.window);
                continue;
            }
            if (record.window != nullptr)
                record.window->SetQuitting();
            running.push_back(record.serial);
        }
    }
    for (BLooper* window : neverShown)
        delete window;
    Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuitPatienceMillis);
    bool stuck = false;
    for (uint64 serial : running)
        stuck |= !JoinThread(serial, deadline);
    if (stuck) {
        std::string why = "the display or the window manager didn't answer within "
            + std::to_string(kQuitPatienceMillis) + " ms; ending without it";
        return Error { B_TIMED_OUT, why };
    }
    return {};
}

Result<> WindowList::PostToFirst(BMessage* message)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    for (WindowRecord& record : gWindows) {
        if (record.window == nullptr)
            continue;
        if (status_t status = record.window->PostMessage(message); status != B_OK)
            return Error { status, "the window's queue is full" };
        return {};
    }
    return Error { B_ERROR, "no window is open" };
}
