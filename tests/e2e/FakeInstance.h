#pragma once

// This test process as a running instance of the program, for playing one
// that answers requests its own way: it registers in a session's registry,
// and a window of its own hands each request that comes to it to a function
// the test gives. Made, changed and destroyed on the test's main thread;
// the function runs on the window's thread.

#include "Application.h"

#include <signal.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class Session;

class FakeInstance {
public:
    // Answers a request, or lets it go unanswered.
    using Answer = std::function<void(BMessage* request)>;

    explicit FakeInstance(Session& session);
    ~FakeInstance();

    FakeInstance(const FakeInstance&) = delete;
    FakeInstance& operator=(const FakeInstance&) = delete;

    void SetAnswer(Answer answer);
    // How many requests have come to the window.
    int Requests() const { return fRequests; }

private:
    class Window;

    sigset_t fSignals;
    std::unique_ptr<BApplication> fApplication;
    Window* fWindow = nullptr;
    uint64 fSerial = 0;
    std::mutex fLock;
    Answer fAnswer;
    std::atomic<int> fRequests { 0 };
};
