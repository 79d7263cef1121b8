#include "WindowList.h"

#include "Looper.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct WindowRecord {
    uint64 serial;
    BLooper* window; // nullptr once the window is being deleted
    std::thread thread;
    bool shown = false;
};

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
    it->thread = std::thread(std::move(body));
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
    std::unique_lock<std::mutex> lock(gWindowsMutex);
    auto it = FindRecord(serial);
    if (it == gWindows.end())
        return;
    if (!it->thread.joinable()) {
        // Someone else is joining it.
        gWindowsChanged.wait(lock, [serial] { return FindRecord(serial) == gWindows.end(); });
        return;
    }
    std::thread thread = std::move(it->thread);
    lock.unlock();
    thread.join();
    lock.lock();
    it = FindRecord(serial);
    if (it != gWindows.end())
        gWindows.erase(it);
    gWindowsChanged.notify_all();
}

void WindowList::QuitAll()
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
    for (uint64 serial : running)
        WaitForThread(serial);
}

status_t WindowList::PostToFirst(BMessage* message)
{
    std::lock_guard<std::mutex> guard(gWindowsMutex);
    for (WindowRecord& record : gWindows) {
        if (record.window != nullptr)
            return record.window->PostMessage(message);
    }
    return B_ERROR;
}
